// Tests of the process-wide start-up settings, each in a forked child of its own.
#include "os/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "../support/unit_io.h"
#include "os/unique_fd.h"

namespace marlox::os {
namespace {

bool is_dev_null(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
}

// Runs check in a forked child (which only makes async-signal-safe calls) and reports whether
// it returned true.
template <class Check>
bool in_child(Check check) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) ::_exit(check() ? 0 : 1);
    return test::wait_child(pid);
}

TEST(ProcessTest, ClosedStandardDescriptorsAreReopenedOnDevNull) {
    EXPECT_TRUE(in_child([] {
        const int out_flags = ::fcntl(1, F_GETFD);
        if (::close(0) < 0 || ::close(2) < 0) return false;
        ensure_standard_descriptors();
        // 0 and 2 are /dev/null and inheritable like any standard stream; 1 is left alone.
        return is_dev_null(0) && is_dev_null(2) && ::fcntl(0, F_GETFD) == 0 &&
               ::fcntl(2, F_GETFD) == 0 && ::fcntl(1, F_GETFD) == out_flags;
    }));
}

// The fallback for kernels without close_range(CLOSE_RANGE_CLOEXEC); run in the test process
// itself, as it reads /proc/self/fd.
TEST(ProcessTest, ListedDescriptorsAboveTwoBecomeCloseOnExec) {
    const int stdin_flags = ::fcntl(0, F_GETFD);
    const UniqueFd inheritable(::fcntl(0, F_DUPFD, 3));  // NOLINT(android-cloexec-dup)
    ASSERT_TRUE(inheritable.valid());
    ASSERT_EQ(::fcntl(inheritable.get(), F_GETFD), 0);
    ASSERT_TRUE(mark_listed_cloexec());
    EXPECT_EQ(::fcntl(inheritable.get(), F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(::fcntl(0, F_GETFD), stdin_flags);
}

TEST(ProcessTest, IgnoredSigpipeTurnsBrokenPipesIntoEpipe) {
    EXPECT_TRUE(in_child([] {
        int fds[2];
        if (!ignore_sigpipe() || ::pipe2(fds, O_CLOEXEC) < 0 || ::close(fds[0]) < 0) return false;
        return ::write(fds[1], "x", 1) < 0 && errno == EPIPE;  // alive to see the error
    }));
}

}  // namespace
}  // namespace marlox::os
