// Markdown table printing and number formatting.
#include "table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace marlox::bench {
namespace {

// Display width: UTF-8 continuation bytes take no column (the tables use "µs" and "≥").
std::size_t width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

void print_row(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) {
    std::string line = "|";
    for (std::size_t i = 0; i < widths.size(); ++i) {
        const std::string cell = i < cells.size() ? cells[i] : "";
        line += " " + cell + std::string(widths[i] - width(cell), ' ') + " |";
    }
    std::puts(line.c_str());
}

}  // namespace

void Table::print() const {
    std::vector<std::size_t> widths;
    for (const auto& header : headers_) widths.push_back(std::max<std::size_t>(3, width(header)));
    for (const auto& row : rows_) {
        for (std::size_t i = 0; i < std::min(row.size(), widths.size()); ++i) {
            widths[i] = std::max(widths[i], width(row[i]));
        }
    }
    print_row(headers_, widths);
    std::vector<std::string> rule;
    rule.reserve(widths.size());
    for (const std::size_t w : widths) rule.push_back(std::string(w, '-'));
    print_row(rule, widths);
    for (const auto& row : rows_) print_row(row, widths);
    std::puts("");
    (void)std::fflush(stdout);
}

std::string grouped(double value) {
    std::string digits = std::to_string(std::llround(value));
    for (int at = static_cast<int>(digits.size()) - 3; at > (digits[0] == '-' ? 1 : 0); at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

std::string fixed(double value, int decimals) {
    char text[64];
    (void)std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace marlox::bench
