#pragma once

#include <string>
#include <utility>
#include <vector>

// A JSON value built in memory, then written whole: on one line, or indented for people.
// Strings are bytes taken as text: quotes, backslashes and control characters are escaped,
// other bytes pass unchanged.
class Json {
public:
    enum class Style { Short, Pretty };

    Json() = default;  // null
    Json(bool value);
    Json(const std::string& text);
    Json(const char* text);
    static Json number(long long value);
    static Json array();
    static Json object();

    // Appends to an array.
    Json& add(Json element);
    // Adds a member to an object; members keep the order they were added in.
    Json& set(const std::string& key, Json value);

    std::string text(Style style) const;

private:
    enum class Kind { Literal, Array, Object };

    void write(std::string& out, Style style, int depth) const;

    Kind kind = Kind::Literal;
    std::string literal = "null";                        // a scalar's JSON text
    std::vector<std::pair<std::string, Json>> children;  // an array's have empty keys
};
