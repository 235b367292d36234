// Tests of line cutting: carriage returns, unfinished tails, chunk boundaries, UTF-8 repair.
#include "tunnel/line_cutter.h"

#include <gtest/gtest.h>

#include <string>

namespace marlox::tunnel {
namespace {

std::string cut(std::string_view input, std::size_t max_line = kMaxLineBytes) {
    LineCutter cutter(max_line);
    std::string out;
    cutter.feed(input, out);
    cutter.finish(out);
    return out;
}

TEST(LineCutterTest, CutsLinesAsRelayed) {
    struct Case {
        std::string_view input;
        std::string_view output;
    };
    const Case cases[] = {
        {"a\r\nb\nc", "a\nb\nc\n"},
        {"\n", "\n"},
        {"", ""},
        {"\n\n", "\n\n"},
        {"\r\n", "\n"},
        {"a\rb\n", "a\rb\n"},  // a lone carriage return stays
        {"a\r", "a\r\n"},      // also at the end of a last line without line feed
        {"a\r\r\n", "a\r\n"},  // only one carriage return goes
        {"x\r\ny\r", "x\ny\r\n"},
        {"caf\xC3\xA9\n", "caf\xC3\xA9\n"},
        {"a\xFF"
         "b\n",
         "a\xEF\xBF\xBD"
         "b\n"},
        {"\xE2\x82\n", "\xEF\xBF\xBD\n"},              // truncated sequence: one replacement
        {"\xC0\xAF\n", "\xEF\xBF\xBD\xEF\xBF\xBD\n"},  // overlong: each byte replaced
        {"\xED\xA0\x80\n", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\n"},  // surrogate
        {"ok\n\xFF\nafter\n", "ok\n\xEF\xBF\xBD\nafter\n"},            // a bad line does not stop
        {std::string_view("a\0b\n", 4), std::string_view("a\0b\n", 4)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cut(c.input), c.output) << testing::PrintToString(c.input);
}

// Lines longer than the bound leave in pieces cut between characters; a carriage return that
// the bound puts after a cut still goes with the line feed behind it.
TEST(LineCutterTest, LongLinesAreCutIntoPiecesBetweenCharacters) {
    struct Case {
        std::string_view input;
        std::string_view output;
    };
    const Case cases[] = {
        {"abcd\n", "abcd\n"},
        {"abcde\n", "abcd\ne\n"},
        {"abcdefghi", "abcd\nefgh\ni\n"},
        {"abcd\r\n", "abcd\n"},  // not an empty piece after the cut
        {"abcd\r\rx\n", "abcd\n\r\rx\n"},
        {"abcd\r", "abcd\n\r\n"},  // no line feed: the carriage return is text
        {"ab\xE2\x82\xAC\n", "ab\n\xE2\x82\xAC\n"},
        {"a\xF0\x9F\x98\x80z\n", "a\n\xF0\x9F\x98\x80\nz\n"},
        {"a\xFF\xFF\n", "a\xEF\xBF\xBD\n\xEF\xBF\xBD\n"},  // measured once repaired
        {"ab\xE2\x82\n", "ab\n\xEF\xBF\xBD\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cut(c.input, 4), c.output) << testing::PrintToString(c.input);
    }
}

// Feeds input in three chunks split at every pair of points: each must give the lines cut
// from the whole.
void check_every_split_point(const std::string& input, std::size_t max_line) {
    const std::string whole = cut(input, max_line);
    for (std::size_t split = 0; split <= input.size(); ++split) {
        for (std::size_t second = split; second <= input.size(); ++second) {
            LineCutter cutter(max_line);
            std::string out;
            cutter.feed(std::string_view(input).substr(0, split), out);
            cutter.feed(std::string_view(input).substr(split, second - split), out);
            cutter.feed(std::string_view(input).substr(second), out);
            cutter.finish(out);
            ASSERT_EQ(out, whole) << "split at " << split << " and " << second;
        }
    }
}

TEST(LineCutterTest, EverySplitPointGivesTheSameLines) {
    const std::string input =
        "first\r\n\xE2\x82\xAC euro\n\r\nlone\rcr\n\xF0\x9F\x98\x80\xFF\r\n\ntail\r";
    for (const std::size_t max_line : {kMaxLineBytes, std::size_t{4}, std::size_t{5}}) {
        SCOPED_TRACE("longest line " + std::to_string(max_line));
        check_every_split_point(input, max_line);
    }
    EXPECT_EQ(cut(input),
              "first\n\xE2\x82\xAC euro\n\nlone\rcr\n\xF0\x9F\x98\x80\xEF\xBF\xBD\n\ntail\r\n");
}

TEST(LineCutterTest, LongLineFedInSmallChunksLeavesEachPieceOnceItIsCertain) {
    const std::string line(kMaxLineBytes + 1000, 'x');
    const std::string piece(kMaxLineBytes, 'x');
    const std::string rest(1000, 'x');
    LineCutter cutter;
    std::string out;
    for (std::size_t at = 0; at < line.size(); at += 8192) {
        cutter.feed(std::string_view(line).substr(at, 8192), out);
        EXPECT_LE(cutter.held(), kMaxLineBytes);
        // A piece goes as soon as a byte after it shows it is one, not before.
        EXPECT_EQ(out, at + 8192 > kMaxLineBytes ? piece + "\n" : "");
    }
    cutter.feed("\r\n", out);
    cutter.finish(out);
    EXPECT_EQ(out, piece + "\n" + rest + "\n");
}

TEST(LineCutterTest, OnlyCompleteLinesLeaveEachFeed) {
    LineCutter cutter;
    std::string out;
    cutter.feed("one\ntw", out);
    EXPECT_EQ(out, "one\n");
    out.clear();
    cutter.feed("o\nthr", out);
    EXPECT_EQ(out, "two\n");
    out.clear();
    cutter.finish(out);
    EXPECT_EQ(out, "thr\n");
    out.clear();
    cutter.finish(out);  // the tail left with the first finish
    EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace marlox::tunnel
