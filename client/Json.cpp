#include "Json.h"

#include <cstdio>

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
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
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
                    out += escaped;
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
