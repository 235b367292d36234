// Names for the rows of a table of test cases that have no name of their own.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

namespace marlox::support {

// A GoogleTest name for the index-th row, made from text that tells the row apart: letters and
// digits kept, every run of other bytes one '_'. The index in front keeps apart rows whose
// texts differ only in those other bytes (a trailing blank, a carriage return). A text without
// letters or digits gives "_empty".
inline std::string param_name(std::size_t index, std::string_view text) {
    const std::string number = std::to_string(index);
    std::string name = number;
    bool gap = true;  // the '_' after the index comes with the first letter or digit
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            gap = true;
            continue;
        }
        if (gap) name += '_';
        gap = false;
        name += c;
    }
    return name == number ? name + "_empty" : name;
}

}  // namespace marlox::support
