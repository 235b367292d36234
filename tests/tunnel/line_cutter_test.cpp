// Tests of line cutting: carriage returns, unfinished tails, chunk boundaries, UTF-8 repair.
#include "tunnel/line_cutter.h"

#include <gtest/gtest.h>

#include <string>

namespace marlox::tunnel {
namespace {

std::string cut(std::string_view input) {
    LineCutter cutter;
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

TEST(LineCutterTest, EverySplitPointGivesTheSameLines) {
    const std::string input =
        "first\r\n\xE2\x82\xAC euro\n\r\nlone\rcr\n\xF0\x9F\x98\x80\xFF\r\n\ntail\r";
    const std::string whole = cut(input);
    ASSERT_EQ(whole,
              "first\n\xE2\x82\xAC euro\n\nlone\rcr\n\xF0\x9F\x98\x80\xEF\xBF\xBD\n\ntail\r\n");
    for (std::size_t split = 0; split <= input.size(); ++split) {
        for (std::size_t second = split; second <= input.size(); ++second) {
            LineCutter cutter;
            std::string out;
            cutter.feed(std::string_view(input).substr(0, split), out);
            cutter.feed(std::string_view(input).substr(split, second - split), out);
            cutter.feed(std::string_view(input).substr(second), out);
            cutter.finish(out);
            ASSERT_EQ(out, whole) << "split at " << split << " and " << second;
        }
    }
}

TEST(LineCutterTest, LongLineFedInSmallChunksComesOutWhole) {
    const std::string line(std::size_t{100} * 1024, 'x');
    const std::string input = line + "\r\n" + line;
    LineCutter cutter;
    std::string out;
    for (std::size_t at = 0; at < input.size(); at += 8192) {
        const std::size_t before = out.size();
        cutter.feed(std::string_view(input).substr(at, 8192), out);
        // Nothing leaves before its line feed has arrived.
        if (at + 8192 <= line.size()) {
            EXPECT_EQ(out.size(), before);
        }
    }
    cutter.finish(out);
    EXPECT_EQ(out, line + "\n" + line + "\n");
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
