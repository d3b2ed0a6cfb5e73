#include "Table.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

Table::Table(std::vector<std::string> header, std::vector<bool> numeric)
    : header(std::move(header)), numeric(std::move(numeric)) {}

void Table::add(std::vector<std::string> row) {
    rows.push_back(std::move(row));
}

std::size_t displayWidth(const std::string& text) {
    std::mbstate_t state{};
    std::size_t width = 0;
    for (std::size_t at = 0; at < text.size();) {
        wchar_t character;
        const std::size_t length = std::mbrtowc(&character, &text[at], text.size() - at, &state);
        if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
            state = std::mbstate_t{};
            ++width;
            ++at;
            continue;
        }
        const int columns = wcwidth(character);
        width += columns > 0 ? static_cast<std::size_t>(columns) : 0;
        at += std::max<std::size_t>(length, 1);
    }
    return width;
}

namespace {

std::string padded(const std::string& text, std::size_t width, bool right) {
    const std::string padding(width - std::min(width, displayWidth(text)), ' ');
    return right ? padding + text : text + padding;
}

}  // namespace

void Table::print(bool legend) const {
    if (!isatty(STDOUT_FILENO)) {
        for (const auto& row : rows) {
            std::string line;
            for (std::size_t i = 0; i < row.size(); ++i) line += (i == 0 ? "" : "\t") + row[i];
            std::printf("%s\n", line.c_str());
        }
        return;
    }
    std::vector<std::vector<std::string>> shownRows;
    if (legend) shownRows.push_back(header);
    shownRows.insert(shownRows.end(), rows.begin(), rows.end());
    std::vector<std::size_t> widths(header.size(), 0);
    for (const auto& row : shownRows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], displayWidth(row[i]));
        }
    }
    for (const auto& row : shownRows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            const bool last = i + 1 == row.size();
            line += (i == 0 ? "" : "  ") +
                    (last && !numeric[i] ? row[i] : padded(row[i], widths[i], numeric[i]));
        }
        std::printf("%s\n", line.c_str());
    }
}
