// The ticket's line ending: only the line feed and one carriage return before it are dropped.
#include "ctl/ticket.h"

#include <gtest/gtest.h>

namespace marlox::ctl {
namespace {

TEST(TicketTest, StripsOnlyTheLineEnd) {
    EXPECT_EQ(strip_line_end("secret\n"), "secret");
    EXPECT_EQ(strip_line_end("secret\r\n"), "secret");
    EXPECT_EQ(strip_line_end("secret"), "secret");
    EXPECT_EQ(strip_line_end("secret\r"), "secret");
    EXPECT_EQ(strip_line_end(" sec ret \t\n"), " sec ret \t");  // blanks are part of it
    EXPECT_EQ(strip_line_end("secret\r\r\n"), "secret\r");
    EXPECT_EQ(strip_line_end("\n"), "");
}

}  // namespace
}  // namespace marlox::ctl
