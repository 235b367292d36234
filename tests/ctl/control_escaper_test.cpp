// Control characters on a terminal: every one shown as an escape, text and layout unchanged.
#include "ctl/control_escaper.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace marlox::ctl {
namespace {

std::string shown(std::string_view bytes) {
    ControlEscaper escaper;
    return escaper.feed(bytes) + escaper.finish();
}

TEST(ControlEscaperTest, EveryC0ControlButTabAndLineFeedAndDelAreEscaped) {
    for (int byte = 0; byte <= 0x7f; ++byte) {
        if (byte >= 0x20 && byte < 0x7f) continue;
        const std::string one(1, static_cast<char>(byte));
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02x", byte);
        EXPECT_EQ(shown(one), byte == '\t' || byte == '\n' ? one : escape) << byte;
    }
}

TEST(ControlEscaperTest, C1ControlsAndBackslashesAreEscapedAndTextIsNot) {
    EXPECT_EQ(shown("\xc2\x80|\xc2\x9b|\xc2\x9f"), "\\u0080|\\u009b|\\u009f");
    EXPECT_EQ(shown("C:\\x1b"), "C:\\\\x1b");  // text that only looks like an escape
    EXPECT_EQ(shown("\xc2\xa0 20\xc2\xb0 \xc3\xa9 \xe2\x82\xac ~"),
              "\xc2\xa0 20\xc2\xb0 \xc3\xa9 \xe2\x82\xac ~");
}

TEST(ControlEscaperTest, C1ControlSplitBetweenPiecesIsStillRecognised) {
    ControlEscaper escaper;
    EXPECT_EQ(escaper.feed("a\xc2"), "a");
    EXPECT_EQ(escaper.feed("\x9b"
                           "2J\xc2"),
              "\\u009b2J");
    EXPECT_EQ(escaper.feed("\xb0"), "\xc2\xb0");
    EXPECT_EQ(escaper.feed("\xc2"), "");
    EXPECT_EQ(escaper.finish(), "\\xc2");  // the stream ended inside a character
    EXPECT_EQ(escaper.finish(), "");
}

}  // namespace
}  // namespace marlox::ctl
