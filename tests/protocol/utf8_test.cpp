// Tests of UTF-8 validation, repair and White_Space trimming.
#include "protocol/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace marlox::protocol {
namespace {

using namespace std::string_view_literals;

// U+FFFD as UTF-8, spliced into the expected texts below.
#define REPL "\xEF\xBF\xBD"

std::string encode(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

TEST(Utf8Test, ValidationFollowsTheWellFormedTable) {
    // The smallest and largest character of each length, and the neighbours of the surrogates.
    for (const auto text :
         {""sv, "ASCII \x01\x7F"sv, "\0"sv, "\xC2\x80"sv, "\xDF\xBF"sv, "\xE0\xA0\x80"sv,
          "\xED\x9F\xBF"sv, "\xEE\x80\x80"sv, "\xEF\xBF\xBF"sv, "\xF0\x90\x80\x80"sv,
          "\xF4\x8F\xBF\xBF"sv, "a\xC3\xA9\x62\xF0\x9F\x98\x80"sv}) {
        EXPECT_TRUE(is_valid_utf8(text)) << testing::PrintToString(std::string(text));
    }
    // Overlong forms, surrogates, past U+10FFFF, bytes never used, truncated sequences (at the
    // end and before ASCII), stray and surplus continuation bytes.
    for (const auto text : {"\xC0\x80"sv, "\xE0\x80\x80"sv, "\xE0\x9F\xBF"sv, "\xF0\x80\x80\x80"sv,
                            "\xF0\x8F\xBF\xBF"sv, "\xED\xA0\x80"sv, "\xED\xBF\xBF"sv,
                            "\xF4\x90\x80\x80"sv, "\xF5\x80\x80\x80"sv, "\xF8\x88\x80\x80\x80"sv,
                            "\xFF"sv, "\xC2"sv, "\xE2\x82"sv, "\xF0\x9F\x98"sv, "\xC2\x41"sv,
                            "\xE2\x82\x41"sv, "\x80"sv, "a\xBF\x62"sv, "\xF0\x9F\x98\x80\x80"sv}) {
        EXPECT_FALSE(is_valid_utf8(text)) << testing::PrintToString(std::string(text));
    }
}

TEST(Utf8Test, RepairReplacesEachMaximalIllFormedSubpartOnce) {
    const struct {
        std::string_view in;
        std::string_view out;
    } cases[] = {
        {""sv, ""sv},
        {"plain\0text"sv, "plain\0text"sv},
        {"h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"sv,
         "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"sv},
        {"a\xF0\x9F\x98\x62"sv, "a" REPL "b"sv},  // truncated four-byte: one
        {"\xF0\x9F"sv, REPL ""sv},                // truncated at the very end
        {"\xE2\x82x"sv, REPL "x"sv},
        {"\xE0\x80"sv, REPL REPL ""sv},  // E0 80 can never start a character
        {"\xC0\xAF"sv, REPL REPL ""sv},
        {"\xED\xA0\x80"sv, REPL REPL REPL ""sv},  // surrogate
        {"\xF4\x90\x80\x80"sv, REPL REPL REPL REPL ""sv},
        {"\xFF"sv, REPL ""sv},
        {"\x80\x80"sv, REPL REPL ""sv},
        {"\xC2\x41"sv, REPL "A"sv},
        // The example of the Unicode standard (table 3-8).
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"sv,
         "a" REPL REPL REPL "b" REPL "c" REPL REPL "d"sv},
    };
    for (const auto& c : cases) {
        std::string out = "<";
        append_utf8_repaired(out, c.in);
        // Appended, not `"<" + std::string(...)`: g++ 12 at -O3 warns falsely (-Wrestrict) about
        // the insertion at the front that the operator+ for an rvalue string does.
        EXPECT_EQ(out, std::string("<").append(c.out)) << testing::PrintToString(std::string(c.in));
        EXPECT_TRUE(is_valid_utf8(out));
    }
}

TEST(Utf8Test, TrimRemovesEveryWhiteSpaceCharacterAtBothEnds) {
    std::u32string white = U"\t\n\v\f\r \u0085\u00A0\u1680\u2028\u2029\u202F\u205F\u3000";
    for (char32_t c = 0x2000; c <= 0x200A; ++c) white += c;
    for (const char32_t c : white) {
        const std::string ws = encode(c);
        ASSERT_TRUE(is_valid_utf8(ws));
        EXPECT_EQ(trim_unicode_whitespace(ws + "x" + ws), "x")
            << std::hex << static_cast<std::uint32_t>(c);
        EXPECT_EQ(trim_unicode_whitespace(ws + ws + "a " + ws + "b" + ws + ws), "a " + ws + "b")
            << std::hex << static_cast<std::uint32_t>(c);
        EXPECT_EQ(trim_unicode_whitespace(ws + ws), "")
            << std::hex << static_cast<std::uint32_t>(c);
    }
}

TEST(Utf8Test, TrimKeepsCharactersWithoutTheWhiteSpaceProperty) {
    // Zero-width space, byte order mark, Mongolian vowel separator, NUL, and the neighbours of
    // every white-space range.
    const char32_t others[] = {0x200B, 0xFEFF, 0x180E, 0x0,    0x08,   0x0E,   0x1F,
                               0x21,   0x84,   0x86,   0x9F,   0xA1,   0x167F, 0x1681,
                               0x1FFF, 0x2027, 0x202A, 0x202E, 0x2030, 0x205E, 0x2060,
                               0x2FFF, 0x3001, 0xE9,   0x1085, 0x2085};
    for (const char32_t c : others) {
        const std::string text = encode(c) + "x" + encode(c);
        EXPECT_EQ(trim_unicode_whitespace(text), text) << std::hex << static_cast<std::uint32_t>(c);
    }
    const std::string emoji = " \xF0\x9F\x98\x80\xE2\x80\x83";  // U+1F600 then U+2003
    EXPECT_EQ(trim_unicode_whitespace(emoji), "\xF0\x9F\x98\x80");
}

TEST(Utf8Test, LongAsciiTextIsCheckedAtEveryPosition) {
    // ASCII runs are skipped a word at a time: a bad or multi-byte character must be found
    // wherever it sits relative to the word boundaries, first byte to last.
    const std::string ascii(40, 'a');
    for (std::size_t at = 0; at <= ascii.size(); ++at) {
        const std::string head = ascii.substr(0, at);
        const std::string tail = ascii.substr(at);
        EXPECT_TRUE(is_valid_utf8(head)) << at;
        EXPECT_TRUE(is_valid_utf8(head + "\xC3\xA9" + tail)) << at;
        EXPECT_FALSE(is_valid_utf8(head + "\xFF" + tail)) << at;
        EXPECT_FALSE(is_valid_utf8(head + "\x80" + tail)) << at;
        std::string out;
        append_utf8_repaired(out, head + "\xFF" + tail);
        EXPECT_EQ(out, head + REPL + tail) << at;
    }
}

}  // namespace
}  // namespace marlox::protocol
