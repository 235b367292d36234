// Tests of Result and of the error text clients see.
#include "os/result.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "os/unique_fd.h"

namespace marlox::os {
namespace {

TEST(ResultTest, DescribeGivesTheSystemTextAndNumber) {
    EXPECT_EQ(describe(Errno{ENOENT}), "No such file or directory (os error 2)");
    EXPECT_EQ(describe(Errno{EPIPE}), "Broken pipe (os error 32)");
    EXPECT_EQ(describe(Errno{EACCES}), "Permission denied (os error 13)");
    EXPECT_EQ(describe(Errno{4242}), "Unknown error 4242 (os error 4242)");
    EXPECT_EQ(describe(Errno{-1}), "Unknown error -1 (os error -1)");
}

TEST(ResultTest, HoldsAMoveOnlyValueOrAnErrno) {
    Result<UniqueFd> good = UniqueFd(7);
    ASSERT_TRUE(good.has_value());
    UniqueFd taken = std::move(*good);
    EXPECT_EQ(taken.get(), 7);
    EXPECT_FALSE(good->valid());
    (void)taken.release();  // 7 was never ours

    const Result<UniqueFd> bad = Errno{EMFILE};
    EXPECT_FALSE(bad);
    EXPECT_EQ(bad.error().code, EMFILE);

    const Result<void> done;
    EXPECT_TRUE(done);
    const Result<void> failed = Errno{EPIPE};
    EXPECT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().code, EPIPE);
}

}  // namespace
}  // namespace marlox::os
