// Tests of the standard-error logger: whole prefixed lines, never mixed between threads.
#include "os/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/unit_io.h"
#include "os/io.h"

namespace marlox::os {
namespace {

// Points standard error at fd for the life of this object.
class RedirectedStderr {
public:
    explicit RedirectedStderr(int fd) : saved_(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
        (void)::dup2(fd, STDERR_FILENO);
    }
    ~RedirectedStderr() { (void)::dup2(saved_.get(), STDERR_FILENO); }

private:
    UniqueFd saved_;
};

// Runs body with standard error on a pipe and returns what came through, read concurrently.
template <class Body>
std::optional<std::string> capture_stderr(Body body) {
    auto pipe = make_pipe();
    if (!pipe) return std::nullopt;
    auto output = std::async(std::launch::async,
                             [fd = pipe->read_end.get()] { return test::read_bounded(fd); });
    {
        const RedirectedStderr redirected(pipe->write_end.get());
        pipe->write_end.reset();
        body();
    }
    return output.get();
}

TEST(LogTest, WritesThePrefixedLine) {
    Result<void> logged = Errno{EINVAL};  // replaced by the outcome
    const auto out = capture_stderr([&] { logged = log_line("listening on /run/x.sock"); });
    EXPECT_TRUE(logged);
    EXPECT_EQ(out, "[marlox-helper] listening on /run/x.sock\n");
}

TEST(LogTest, LongLinesOfManyThreadsNeverMix) {
    // Lines longer than the pipe's atomic write size would interleave without the lock.
    constexpr int kThreads = 6;
    constexpr int kLines = 40;
    constexpr std::size_t kLength = 20000;
    const auto out = capture_stderr([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                const std::string text(kLength, static_cast<char>('a' + t));
                for (int i = 0; i < kLines; ++i) (void)log_line(text);
            });
        }
        for (auto& thread : threads) thread.join();
    });
    ASSERT_TRUE(out);
    std::istringstream lines(*out);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line.size(), 16 + kLength) << "line " << count;
        ASSERT_EQ(line.substr(16 + 1), std::string(kLength - 1, line[16])) << "line " << count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(LogTest, ReportsABrokenStandardError) {
    struct sigaction ignore {};
    struct sigaction old {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old), 0);
    auto pipe = make_pipe();
    ASSERT_TRUE(pipe);
    pipe->read_end.reset();
    Result<void> logged;
    {
        const RedirectedStderr redirected(pipe->write_end.get());
        logged = log_line("nobody reads this");
    }
    (void)::sigaction(SIGPIPE, &old, nullptr);
    ASSERT_FALSE(logged);
    EXPECT_EQ(logged.error().code, EPIPE);
}

}  // namespace
}  // namespace marlox::os
