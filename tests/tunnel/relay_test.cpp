// Tests of the line relay through real pipes, a real socket pair and a real process's pidfd.
#include "tunnel/relay.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "os/child.h"
#include "os/io.h"
#include "os/poll.h"
#include "os/process.h"

namespace marlox::tunnel {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
    os::UniqueFd daemon_end;
    os::UniqueFd client_end;
};

SocketPair make_socket_pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return {os::UniqueFd(fds[0]), os::UniqueFd(fds[1])};
}

os::Child start(std::vector<std::string> argv) {
    auto child = os::Child::spawn(argv);
    EXPECT_TRUE(child.has_value());
    return std::move(*child);
}

// A process that has already exited (not reaped, so its pidfd stays readable).
os::Child exited_process() {
    os::Child child = start({"true"});
    const auto woke = os::wait_ready(child.pidfd(), os::Readiness::kReadable, -1, 5000);
    EXPECT_TRUE(woke && woke->ready);
    return child;
}

// Reads fd until end of stream or until limit passes; fails the test on the time-out.
std::string receive_all(int fd, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string received;
    std::array<char, 65536> buffer;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto woke = os::wait_ready(fd, os::Readiness::kReadable, -1,
                                         static_cast<int>(std::max(left.count(), 0L)));
        if (!woke || !woke->ready) {
            ADD_FAILURE() << "no end of stream in time";
            return received;
        }
        const auto got = os::recv_some(fd, buffer);
        if (!got || *got == 0) return received;
        received.append(buffer.data(), *got);
    }
}

// Runs relay_lines on its own thread; finished() tells whether it returned within limit.
class RelayRun {
public:
    RelayRun(os::UniqueFd pipe, ClientStream& stream)
        : done_(std::async(std::launch::async, [pipe = std::move(pipe), &stream]() mutable {
              relay_lines(std::move(pipe), stream);
          })) {}
    bool finished(std::chrono::milliseconds limit) {
        return done_.wait_for(limit) == std::future_status::ready;
    }

private:
    std::future<void> done_;
};

TEST(RelayTest, RelaysCutLinesAndEndsAtEndOfFile) {
    os::Child process = start({"sleep", "30"});
    SocketPair conn = make_socket_pair();
    auto pipe = os::make_pipe();
    ASSERT_TRUE(pipe);
    ClientStream stream(conn.daemon_end.get(), process.pidfd());
    RelayRun relay(std::move(pipe->read_end), stream);

    ASSERT_TRUE(os::write_all(pipe->write_end.get(), "a\r\nb\xFF\n"));
    ASSERT_TRUE(os::write_all(pipe->write_end.get(), "\nlast"));
    pipe->write_end.reset();
    ASSERT_TRUE(relay.finished(5s));
    (void)os::shutdown_both(conn.daemon_end.get());
    EXPECT_EQ(receive_all(conn.client_end.get(), 5s), "a\nb\xEF\xBF\xBD\n\nlast\n");
}

std::string numbered_line(char stream, int number, std::size_t length) {
    std::string line = std::string(1, stream) + std::to_string(number) + ' ';
    line.resize(length, stream);
    return line;
}

TEST(RelayTest, TwoRelaysAtOnceNeverMixTheirLines) {
    constexpr int kLines = 300;
    os::Child process = start({"sleep", "30"});
    SocketPair conn = make_socket_pair();
    ClientStream stream(conn.daemon_end.get(), process.pidfd());
    auto out = os::make_pipe();
    auto err = os::make_pipe();
    ASSERT_TRUE(out && err);

    // Long lines of varying length, several per pipe buffer and some longer than one read.
    const auto writer = [](os::UniqueFd fd, char name) {
        // The descriptor is closed when the writing ends, not with the future.
        return std::async(std::launch::async, [fd = std::move(fd), name]() mutable {
            for (int i = 0; i < kLines; ++i) {
                const std::string line = numbered_line(name, i, 100 + (i * 7919) % 20000) + "\n";
                if (!os::write_all(fd.get(), line)) break;
            }
            fd.reset();
        });
    };
    auto write_out = writer(std::move(out->write_end), 'O');
    auto write_err = writer(std::move(err->write_end), 'E');
    RelayRun relay_out(std::move(out->read_end), stream);
    RelayRun relay_err(std::move(err->read_end), stream);
    auto received = std::async(std::launch::async,
                               [fd = conn.client_end.get()] { return receive_all(fd, 20s); });

    ASSERT_TRUE(relay_out.finished(20s));
    ASSERT_TRUE(relay_err.finished(20s));
    (void)os::shutdown_both(conn.daemon_end.get());
    ASSERT_EQ(received.wait_for(20s), std::future_status::ready);
    const std::string text = received.get();

    int next_out = 0;
    int next_err = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "text after the last line feed";
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ASSERT_FALSE(line.empty());
        int& next = line[0] == 'O' ? next_out : next_err;
        ASSERT_EQ(line, numbered_line(line[0], next, line.size())) << "mixed or out of order";
        ASSERT_EQ(line.size(), 100 + (next * 7919) % 20000u);
        ++next;
    }
    EXPECT_EQ(next_out, kLines);
    EXPECT_EQ(next_err, kLines);
}

TEST(RelayTest, GoneClientEndsTheRelay) {
    os::Child process = start({"sleep", "30"});
    SocketPair conn = make_socket_pair();
    auto pipe = os::make_pipe();
    ASSERT_TRUE(pipe);
    ClientStream stream(conn.daemon_end.get(), process.pidfd());
    RelayRun relay(std::move(pipe->read_end), stream);

    conn.client_end.reset();
    ASSERT_TRUE(os::write_all(pipe->write_end.get(), "nobody reads this\n"));
    EXPECT_TRUE(relay.finished(5s));
    EXPECT_FALSE(stream.send("x\n"));  // broken for the other relay too
}

TEST(RelayTest, SlowClientIsWaitedForWhileTheProcessRuns) {
    os::Child process = start({"sleep", "30"});
    SocketPair conn = make_socket_pair();
    auto pipe = os::make_pipe();
    ASSERT_TRUE(pipe);
    ClientStream stream(conn.daemon_end.get(), process.pidfd());
    RelayRun relay(std::move(pipe->read_end), stream);
    // More than the socket and pipe buffers hold, so the relay must wait for the client.
    const std::string line = std::string(999, 'x') + "\n";
    constexpr int kLines = 2000;
    auto writer =
        std::async(std::launch::async, [&line, fd = std::move(pipe->write_end)]() mutable {
            for (int i = 0; i < kLines; ++i) {
                if (!os::write_all(fd.get(), line)) break;
            }
            fd.reset();
        });

    // Longer than the drain time: no time limit may apply while the process runs.
    EXPECT_FALSE(relay.finished(kDrainTime + 500ms));
    auto received = std::async(std::launch::async,
                               [fd = conn.client_end.get()] { return receive_all(fd, 20s); });
    ASSERT_TRUE(relay.finished(20s));
    (void)os::shutdown_both(conn.daemon_end.get());
    ASSERT_EQ(received.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(received.get().size(), line.size() * kLines);
}

TEST(RelayTest, OutputLeftAfterTheExitIsStillRelayed) {
    os::Child process = exited_process();
    SocketPair conn = make_socket_pair();
    auto pipe = os::make_pipe();
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(os::write_all(pipe->write_end.get(), "one\ntwo\n"));
    pipe->write_end.reset();
    ClientStream stream(conn.daemon_end.get(), process.pidfd());
    RelayRun relay(std::move(pipe->read_end), stream);

    ASSERT_TRUE(relay.finished(5s));
    (void)os::shutdown_both(conn.daemon_end.get());
    EXPECT_EQ(receive_all(conn.client_end.get(), 5s), "one\ntwo\n");
}

TEST(RelayTest, PipeKeptOpenByADescendantEndsAfterTheDrainTime) {
    os::Child process = exited_process();
    SocketPair conn = make_socket_pair();
    auto pipe = os::make_pipe();
    ASSERT_TRUE(pipe);
    // The write end stays open, as if a descendant of the exited process held it.
    ASSERT_TRUE(os::write_all(pipe->write_end.get(), "done\nno line feed"));
    ClientStream stream(conn.daemon_end.get(), process.pidfd());
    RelayRun relay(std::move(pipe->read_end), stream);

    ASSERT_TRUE(relay.finished(kDrainTime + 3s));
    EXPECT_TRUE(stream.drain_expired());
    (void)os::shutdown_both(conn.daemon_end.get());
    EXPECT_EQ(receive_all(conn.client_end.get(), 5s), "done\nno line feed\n");
}

TEST(RelayTest, ClientThatStopsReadingCannotHoldTheEndPastTheDrainTime) {
    ASSERT_TRUE(os::ignore_sigpipe());  // the writer below outlives the relay's read end
    os::Child process = start({"sleep", "30"});
    SocketPair conn = make_socket_pair();
    auto pipe = os::make_pipe();
    ASSERT_TRUE(pipe);
    ClientStream stream(conn.daemon_end.get(), process.pidfd());
    RelayRun relay(std::move(pipe->read_end), stream);
    auto writer = std::async(std::launch::async, [fd = std::move(pipe->write_end)] {
        const std::string line = std::string(999, 'y') + "\n";
        for (int i = 0; i < 10000; ++i) {
            if (!os::write_all(fd.get(), line)) return;
        }
    });

    // The client never reads; the relay is stuck in a send until the process ends.
    EXPECT_FALSE(relay.finished(300ms));
    ASSERT_TRUE(process.send_signal(SIGKILL));
    EXPECT_TRUE(relay.finished(kDrainTime + 3s));
    EXPECT_FALSE(stream.send("x\n"));
    EXPECT_EQ(writer.wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace marlox::tunnel
