// Tests of thread start-up: the function runs, owns its captures, and gets a 2 MiB stack.
#include "os/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "../support/unit_io.h"
#include "os/child.h"
#include "os/io.h"

namespace marlox::os {
namespace {

// The stack size of the calling thread as the system reports it.
std::size_t own_stack_size() {
    pthread_attr_t attr;
    std::size_t size = 0;
    if (::pthread_getattr_np(::pthread_self(), &attr) != 0) return 0;
    (void)::pthread_attr_getstacksize(&attr, &size);
    (void)::pthread_attr_destroy(&attr);
    return size;
}

// Started with MARLOX_STACK_PROBE set, this binary prints the stack sizes of a detached and of a
// joinable thread and exits before any test runs. It must be a fresh process: glibc may give a
// new thread a cached stack up to four times the size asked for, such as one an earlier
// std::thread (8 MiB) of this test process left behind.
[[maybe_unused]] const bool stack_probe = [] {
    if (std::getenv("MARLOX_STACK_PROBE") == nullptr) return false;
    std::promise<std::size_t> detached;
    std::size_t joinable = 0;
    if (!start_detached([&detached]() noexcept { detached.set_value(own_stack_size()); })) {
        std::_Exit(1);
    }
    auto thread = JoinableThread::start([&joinable]() noexcept { joinable = own_stack_size(); });
    if (!thread) std::_Exit(1);
    thread->join();
    std::printf("%zu %zu\n", detached.get_future().get(), joinable);
    std::fflush(stdout);
    std::_Exit(0);
}();

TEST(ThreadTest, ThreadsGetTwoMebibyteStacks) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    auto probe = Child::spawn(std::vector<std::string>{"env", "MARLOX_STACK_PROBE=1", self});
    ASSERT_TRUE(probe);
    const UniqueFd out = probe->take_stdout();
    EXPECT_EQ(test::read_bounded(out.get()), "2097152 2097152\n");
    EXPECT_EQ(kThreadStackSize, 2u << 20);
}

TEST(ThreadTest, DetachedThreadRunsAndReleasesWhatItOwns) {
    auto pipe = make_pipe();
    ASSERT_TRUE(pipe);
    // The write end moves into the thread; end of file shows the function was destroyed.
    const Result<void> started = start_detached(
        [out = std::move(pipe->write_end)]() noexcept { (void)write_all(out.get(), "ran"); });
    ASSERT_TRUE(started);
    EXPECT_FALSE(pipe->write_end.valid());
    EXPECT_EQ(test::read_bounded(pipe->read_end.get()), "ran");
}

TEST(ThreadTest, JoinableThreadIsJoinedOnce) {
    bool ran = false;
    {
        auto thread = JoinableThread::start([&ran]() noexcept {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ran = true;
        });
        ASSERT_TRUE(thread);
        JoinableThread moved(std::move(*thread));  // the moved-from one must not join again
    }                                              // joined here
    EXPECT_TRUE(ran);

    std::promise<void> result;
    auto thread = JoinableThread::start([&result]() noexcept { result.set_value(); });
    ASSERT_TRUE(thread);
    ASSERT_EQ(result.get_future().wait_for(test::kTimeout), std::future_status::ready);
    thread->join();
    thread->join();  // a second join is harmless
}

}  // namespace
}  // namespace marlox::os
