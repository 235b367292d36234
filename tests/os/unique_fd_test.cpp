// Tests of UniqueFd ownership: one close per descriptor, moves, errno kept.
#include "os/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

namespace marlox::os {
namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) >= 0; }

int open_null() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

TEST(UniqueFdTest, ClosesItsDescriptorOnceAndOnlyWhileOwning) {
    const int fd = open_null();
    ASSERT_GE(fd, 0);
    { const UniqueFd owner(fd); }
    EXPECT_FALSE(is_open(fd));

    // Moved-from and released owners have nothing left to close.
    UniqueFd first(open_null());
    const int number = first.get();
    UniqueFd second(std::move(first));
    EXPECT_EQ(first.get(), -1);
    first.reset();
    EXPECT_TRUE(is_open(number));
    EXPECT_EQ(second.release(), number);
    second.reset();
    EXPECT_TRUE(is_open(number));
    second.reset(number);
}

TEST(UniqueFdTest, MoveAssignmentClosesTheOldDescriptor) {
    UniqueFd target(open_null());
    UniqueFd source(open_null());
    const int old = target.get();
    const int moved = source.get();
    target = std::move(source);
    EXPECT_FALSE(is_open(old));
    EXPECT_TRUE(is_open(moved));
    EXPECT_EQ(target.get(), moved);
    EXPECT_FALSE(source.valid());

    UniqueFd& alias = target;
    target = std::move(alias);  // self-move keeps the descriptor open and owned
    EXPECT_EQ(target.get(), moved);
    EXPECT_TRUE(is_open(moved));
}

TEST(UniqueFdTest, ResetKeepsErrno) {
    // Closing a number that is not open fails with EBADF; the caller's errno must survive.
    UniqueFd bogus(1 << 20);
    errno = EAGAIN;
    bogus.reset(open_null());
    EXPECT_EQ(errno, EAGAIN);
    const int fd = bogus.get();
    errno = ENOENT;
    bogus.reset();
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(is_open(fd));
}

}  // namespace
}  // namespace marlox::os
