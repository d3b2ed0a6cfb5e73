#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Rows of text for people and for scripts: on a terminal, columns aligned by the width the text
// takes on screen, under a header (the legend); else one tab-separated line per row.
class Table {
public:
    // numeric says, for each column, whether it holds numbers, which align right.
    Table(std::vector<std::string> header, std::vector<bool> numeric);

    void add(std::vector<std::string> row);
    void print(bool legend) const;

private:
    std::vector<std::string> header;
    std::vector<bool> numeric;
    std::vector<std::vector<std::string>> rows;
};

// The columns text takes on a terminal: wide characters take two, combining ones none. Bytes
// that are not text in the locale's encoding take one each.
std::size_t displayWidth(const std::string& text);
