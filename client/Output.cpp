#include "Output.h"

#include <cctype>
#include <cstdio>

#include "PrintableText.h"

std::string shown(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        const std::size_t utf8 = byte >= 0x80 ? printableUtf8At(text, at) : 0;
        if (utf8 > 0) {
            out.append(text, at, utf8);
            at += utf8 - 1;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escape[5];
            std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

void complain(const std::string& message) {
    std::fprintf(stderr, "svcreg: %s\n", shown(message).c_str());
}

void printJson(const ClientOptions& options, const Json& json) {
    std::printf("%s\n", json.text(options.jsonStyle).c_str());
}

int printHelp(const ClientOptions& options, const std::string& usage) {
    if (options.json) {
        printJson(options, Json::object().set("help", usage));
    } else {
        std::fputs(usage.c_str(), stdout);
    }
    return 0;
}

int reportFailure(const ClientOptions& options, const char* error, const std::string& cause,
                  int exitCode) {
    if (!options.json) {
        complain(cause);
        return exitCode;
    }
    printJson(options, Json::object()
                           .set("error", error)
                           .set("cause", cause)
                           .set("exitCode", Json::number(exitCode)));
    return exitCode;
}

std::string camelCase(const std::string& name) {
    std::string key;
    bool upper = false;
    for (const char c : name) {
        if (c == '-' || c == '_' || c == '.') {
            upper = !key.empty();
        } else {
            key += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            upper = false;
        }
    }
    return key;
}
