// UTF-8 checks and repair, and trimming by the Unicode White_Space property.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace marlox::protocol {

// True when text is well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_valid_utf8(std::string_view text);

// The first character of text (which is not empty) as a repair reads it.
struct Utf8Char {
    std::size_t length;  // bytes; for an ill-formed sequence, what one U+FFFD replaces (>= 1)
    bool valid;
    bool incomplete;  // text ends inside a sequence that more bytes could complete or break
};
Utf8Char first_utf8_char(std::string_view text);

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

// Appends text to out with each ill-formed sequence replaced by U+FFFD, one replacement per
// maximal ill-formed subpart (the Unicode recommendation), so valid text passes unchanged.
void append_utf8_repaired(std::string& out, std::string_view text);

// text without leading and trailing White_Space characters (tab to carriage return, space,
// U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
// text must be valid UTF-8.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace marlox::protocol
