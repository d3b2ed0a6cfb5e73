#pragma once

#include <string>
#include <vector>

// Rows of text sent as one string parameter: each row as its number, a comma, then each of its
// fields as length, colon, bytes, so that no byte of a field needs escaping. Every row of a
// list has the same number of fields, which the reader knows.
namespace svcreg::WireRows {

struct Row {
    long number;
    std::vector<std::string> fields;
};

inline std::string encode(const std::vector<Row>& rows) {
    std::string text;
    for (const Row& row : rows) {
        text += std::to_string(row.number) + ",";
        for (const std::string& field : row.fields) {
            text += std::to_string(field.size()) + ":" + field;
        }
    }
    return text;
}

// False when text is not a list of rows of fieldCount fields that encode made.
inline bool decode(const std::string& text, std::size_t fieldCount, std::vector<Row>& rows) {
    std::size_t at = 0;
    // Decimal digits as encode writes them: no sign, no leading zero, at most 18.
    const auto number = [&](char end, long& value) {
        const std::size_t stop = text.find(end, at);
        if (stop == std::string::npos || stop == at || stop - at > 18) return false;
        if (text[at] == '0' && stop - at > 1) return false;
        value = 0;
        for (std::size_t i = at; i < stop; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            value = value * 10 + (text[i] - '0');
        }
        at = stop + 1;
        return true;
    };
    const auto bytes = [&](std::string& value) {
        long size;
        if (!number(':', size) || text.size() - at < static_cast<std::size_t>(size)) return false;
        value.assign(text, at, static_cast<std::size_t>(size));
        at += static_cast<std::size_t>(size);
        return true;
    };
    while (at < text.size()) {
        Row row{0, std::vector<std::string>(fieldCount)};
        if (!number(',', row.number)) return false;
        for (std::string& field : row.fields) {
            if (!bytes(field)) return false;
        }
        rows.push_back(std::move(row));
    }
    return true;
}

}  // namespace svcreg::WireRows
