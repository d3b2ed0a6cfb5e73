#include "Output.h"

#include <cctype>
#include <cstdio>

namespace {

// The length of the well-formed UTF-8 character at text[at], other than a C1 control (U+0080 to
// U+009F, which a terminal acts on as on ESC and a letter); 0 when there is none.
std::size_t printableUtf8At(const std::string& text, std::size_t at) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || at + length > text.size()) return 0;
    char32_t code = lead & (0x7f >> length);
    for (std::size_t next = at + 1; next < at + length; ++next) {
        if ((byte(next) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(next) & 0x3f);
    }
    // The least code of each length: one below is written longer than it need be, or for two
    // bytes is a C1 control.
    constexpr char32_t least[] = {0, 0, 0xa0, 0x800, 0x10000};
    const bool surrogate = code >= 0xd800 && code <= 0xdfff;
    return code >= least[length] && code <= 0x10ffff && !surrogate ? length : 0;
}

}  // namespace

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
