#include "Json.h"

#include <cstdio>

#include "PrintableText.h"

namespace {

// The JSON escape of code, below 0x10000.
std::string escapedCode(unsigned code) {
    char escaped[8];
    std::snprintf(escaped, sizeof(escaped), "\\u%04x", code);
    return escaped;
}

// The character at text[at], 0x80 or above, as JSON may carry it to a terminal: a UTF-8
// character as it is, but a C1 control (which a terminal takes as ESC and a letter) escaped; a
// byte of no UTF-8 character, which JSON cannot hold, as U+FFFD. at moves to its last byte.
std::string nonAscii(const std::string& text, std::size_t& at) {
    const std::size_t length = printableUtf8At(text, at);
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (length > 0) {
        at += length - 1;
        return text.substr(at + 1 - length, length);
    }
    if (byte(at) == 0xc2 && at + 1 < text.size() && byte(at + 1) >= 0x80 && byte(at + 1) < 0xa0) {
        return escapedCode(byte(++at));
    }
    return escapedCode(0xfffd);
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += escapedCode(static_cast<unsigned char>(c));
                } else if (static_cast<unsigned char>(c) >= 0x80) {
                    out += nonAscii(text, at);
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace

Json::Json(bool value) : literal(value ? "true" : "false") {}

Json::Json(const std::string& text) : literal(quoted(text)) {}

Json::Json(const char* text) : literal(quoted(text)) {}

Json Json::number(long long value) {
    Json json;
    json.literal = std::to_string(value);
    return json;
}

Json Json::array() {
    Json json;
    json.kind = Kind::Array;
    return json;
}

Json Json::object() {
    Json json;
    json.kind = Kind::Object;
    return json;
}

Json& Json::add(Json element) {
    children.emplace_back(std::string(), std::move(element));
    return *this;
}

Json& Json::set(const std::string& key, Json value) {
    children.emplace_back(key, std::move(value));
    return *this;
}

std::string Json::text(Style style) const {
    std::string out;
    write(out, style, 0);
    return out;
}

void Json::write(std::string& out, Style style, int depth) const {
    if (kind == Kind::Literal) {
        out += literal;
        return;
    }
    const bool pretty = style == Style::Pretty;
    out += kind == Kind::Array ? '[' : '{';
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (i != 0) out += ',';
        if (pretty) out += "\n" + std::string(2 * (depth + 1), ' ');
        if (kind == Kind::Object) out += quoted(children[i].first) + (pretty ? ": " : ":");
        children[i].second.write(out, style, depth + 1);
    }
    if (pretty && !children.empty()) out += "\n" + std::string(2 * depth, ' ');
    out += kind == Kind::Array ? ']' : '}';
}
