// Tests of the error text clients and the log see.
#include "os/result.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace marlox::os {
namespace {

TEST(ResultTest, DescribeGivesTheSystemTextAndNumber) {
    EXPECT_EQ(describe(Errno{ENOENT}), "No such file or directory (os error 2)");
    EXPECT_EQ(describe(Errno{EPIPE}), "Broken pipe (os error 32)");
    EXPECT_EQ(describe(Errno{EACCES}), "Permission denied (os error 13)");
    EXPECT_EQ(describe(Errno{4242}), "Unknown error 4242 (os error 4242)");
    EXPECT_EQ(describe(Errno{-1}), "Unknown error -1 (os error -1)");
}

}  // namespace
}  // namespace marlox::os
