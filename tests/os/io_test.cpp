// Tests of the descriptor I/O wrappers on real sockets and pipes.
#include "os/io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "../support/unit_io.h"

namespace marlox::os {
namespace {

void do_nothing(int) {}

// A no-op SIGUSR1 handler without SA_RESTART, so the signal cuts blocking calls short (EINTR,
// or a partial transfer). It stays installed: nothing else in this process uses SIGUSR1.
void make_sigusr1_interrupt() {
    struct sigaction action {};
    action.sa_handler = do_nothing;
    (void)sigemptyset(&action.sa_mask);
    (void)::sigaction(SIGUSR1, &action, nullptr);
}

std::string pattern(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i * 31 % 251);
    return out;
}

// Writes payload through write(fd) into a small buffer while another thread interrupts this
// one with signals and a third reads; returns what the reader got up to end of file.
template <class Write>
std::optional<std::string> transfer_interrupted(Write write, UniqueFd write_end, UniqueFd read_end,
                                                const std::string& payload) {
    make_sigusr1_interrupt();
    auto received = std::async(std::launch::async, [read_end = std::move(read_end)]() mutable {
        auto got = test::read_bounded(read_end.get(), {}, std::chrono::seconds(20));
        read_end.reset();  // a reader that gave up must not leave the writer blocked for ever
        return got;
    });
    std::atomic<bool> done = false;
    const pthread_t writer = ::pthread_self();
    std::thread interrupter([&done, writer] {
        while (!done) {
            (void)::pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    const Result<void> written = write(write_end.get(), payload);
    done = true;
    interrupter.join();
    EXPECT_TRUE(written);
    write_end.reset();
    return received.get();
}

TEST(IoTest, SendAllContinuesInterruptedAndPartialSends) {
    auto pair = test::socket_pair();
    const int small = 4096;
    ASSERT_EQ(::setsockopt(pair.a.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(::setsockopt(pair.b.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    const std::string payload = pattern(4 << 20);
    EXPECT_EQ(transfer_interrupted(send_all, std::move(pair.a), std::move(pair.b), payload),
              payload);
}

TEST(IoTest, WriteAllContinuesInterruptedAndShortWrites) {
    auto pipe = make_pipe();
    ASSERT_TRUE(pipe);
    ASSERT_GE(::fcntl(pipe->write_end.get(), F_SETPIPE_SZ, 4096), 0);
    const std::string payload = pattern(4 << 20);
    EXPECT_EQ(transfer_interrupted(write_all, std::move(pipe->write_end), std::move(pipe->read_end),
                                   payload),
              payload);
}

TEST(IoTest, SendAllToAClosedPeerIsEpipeWithoutSignal) {
    // SIGPIPE at its default action would end this test process if send_all raised it.
    struct sigaction dfl {};
    struct sigaction old {};
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(::sigaction(SIGPIPE, &dfl, &old), 0);
    auto pair = test::socket_pair();
    pair.b.reset();
    const Result<void> sent = send_all(pair.a.get(), "{\"ok\":true}\n");
    (void)::sigaction(SIGPIPE, &old, nullptr);
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().code, EPIPE);
}

TEST(IoTest, PipesAndDuplicatesAreCloseOnExecAboveTheStandardNumbers) {
    auto pipe = make_pipe();
    ASSERT_TRUE(pipe);
    EXPECT_EQ(::fcntl(pipe->read_end.get(), F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(::fcntl(pipe->write_end.get(), F_GETFD), FD_CLOEXEC);
    // With descriptor 0 free, a plain dup would return 0.
    const UniqueFd saved_stdin(::fcntl(0, F_DUPFD_CLOEXEC, 10));
    ASSERT_TRUE(saved_stdin.valid());
    ASSERT_EQ(::close(0), 0);
    auto copy = dup_cloexec(pipe->read_end.get());
    ASSERT_EQ(::dup2(saved_stdin.get(), 0), 0);

    ASSERT_TRUE(copy);
    EXPECT_GE(copy->get(), 3);
    EXPECT_EQ(::fcntl(copy->get(), F_GETFD), FD_CLOEXEC);
    ASSERT_TRUE(write_all(pipe->write_end.get(), "same pipe"));
    pipe->write_end.reset();
    EXPECT_EQ(test::read_bounded(copy->get()), "same pipe");

    const auto none = dup_cloexec(-1);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().code, EBADF);
}

TEST(IoTest, ShutdownBothWakesAReceiverBlockedOnADuplicate) {
    auto pair = test::socket_pair();
    auto copy = dup_cloexec(pair.a.get());
    ASSERT_TRUE(copy);
    auto blocked = std::async(std::launch::async, [fd = copy->get()] {
        char buffer[16];
        return recv_some(fd, buffer);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it block first
    EXPECT_TRUE(shutdown_both(pair.a.get()));
    const bool woke = blocked.wait_for(test::kTimeout) == std::future_status::ready;
    if (!woke) pair.b.reset();  // end of stream frees the receiver so the test can end
    EXPECT_TRUE(woke);
    const auto received = blocked.get();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, 0u);
}

}  // namespace
}  // namespace marlox::os
