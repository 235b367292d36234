// Tests of the line relay through real pipes, a real socket pair and a real process's pidfd.
#include "tunnel/relay.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "os/child.h"
#include "os/io.h"
#include "os/poll.h"
#include "os/process.h"
#include "tunnel/line_cutter.h"

namespace marlox::tunnel {
namespace {

using namespace std::chrono_literals;

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
std::string receive_all(int fd, std::chrono::milliseconds limit, std::size_t read_size = 65536) {
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
        const auto got = os::recv_some(fd, std::span(buffer).first(read_size));
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

// A tunnel's output path: a process, a connection, a stream, and one relay from a pipe whose
// write end the test holds. Tear-down is bounded even when a test failed half-way.
class RelayTest : public ::testing::Test {
protected:
    void TearDown() override {
        output_.reset();
        (void)os::shutdown_both(daemon_end_.get());
        relays_.clear();
    }

    // process stands for the tunnel process: its exit starts the drain time. The connection
    // is made after the process has started: a starting program holds copies of all our
    // descriptors for a moment after posix_spawn returns, until its exec has closed them, and
    // a copy of the client's end would keep a "closed" client alive.
    void start_stream(os::Child process) {
        process_.emplace(std::move(process));
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        daemon_end_.reset(fds[0]);
        client_end_.reset(fds[1]);
        stream_.emplace(daemon_end_.get(), process_->pidfd());
    }
    // A new relay from a new pipe that already holds written; returns the pipe's write end.
    os::UniqueFd start_relay(std::string_view written = {}) {
        auto pipe = os::make_pipe();
        EXPECT_TRUE(pipe.has_value());
        EXPECT_TRUE(os::write_all(pipe->write_end.get(), written));
        relays_.push_back(std::make_unique<RelayRun>(std::move(pipe->read_end), *stream_));
        return std::move(pipe->write_end);
    }
    bool relays_finished(std::chrono::milliseconds limit) {
        for (auto& relay : relays_) {
            if (!relay->finished(limit)) return false;
        }
        return true;
    }
    // Everything the client receives once the relays are done and the connection is shut.
    std::string received_after_relays() {
        EXPECT_TRUE(relays_finished(5s));
        (void)os::shutdown_both(daemon_end_.get());
        return receive_all(client_end_.get(), 5s);
    }

    os::UniqueFd daemon_end_;
    os::UniqueFd client_end_;
    std::optional<os::Child> process_;
    std::optional<ClientStream> stream_;
    std::vector<std::unique_ptr<RelayRun>> relays_;
    os::UniqueFd output_;  // write end of the pipe of a one-relay test
};

TEST_F(RelayTest, RelaysCutLinesAndEndsAtEndOfFile) {
    start_stream(start({"sleep", "30"}));
    output_ = start_relay();
    ASSERT_TRUE(os::write_all(output_.get(), "a\r\nb\xFF\n"));
    ASSERT_TRUE(os::write_all(output_.get(), "\nlast"));
    output_.reset();
    EXPECT_EQ(received_after_relays(), "a\nb\xEF\xBF\xBD\n\nlast\n");
}

std::string numbered_line(char stream, int number, std::size_t length) {
    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about the insertion at
    // the front that `std::string(1, stream) + std::to_string(number)` does.
    std::string line(1, stream);
    line += std::to_string(number);
    line += ' ';
    line.resize(length, stream);
    return line;
}

// Writes lines to fd on a thread of its own and closes fd when done (not with the future).
template <class MakeLine>
std::future<void> write_lines(os::UniqueFd fd, int count, MakeLine make_line) {
    return std::async(std::launch::async, [fd = std::move(fd), count, make_line]() mutable {
        for (int i = 0; i < count; ++i) {
            if (!os::write_all(fd.get(), make_line(i))) break;
        }
        fd.reset();
    });
}

TEST_F(RelayTest, TwoRelaysAtOnceNeverMixTheirLines) {
    constexpr int kLines = 60;
    // Lines of up to 64 KiB (the longest relayed whole): a send that large leaves in several
    // pieces, and with a slow client some sends are partial, the case where unserialized
    // senders would interleave.
    const auto length = [](int i) {
        return 100 + static_cast<std::size_t>(i) * 7919 % (kMaxLineBytes - 100);
    };
    start_stream(start({"sleep", "30"}));
    auto write_out = write_lines(start_relay(), kLines,
                                 [&](int i) { return numbered_line('O', i, length(i)) + "\n"; });
    auto write_err = write_lines(start_relay(), kLines,
                                 [&](int i) { return numbered_line('E', i, length(i)) + "\n"; });
    auto received = std::async(std::launch::async,
                               [fd = client_end_.get()] { return receive_all(fd, 20s, 4096); });
    ASSERT_TRUE(relays_finished(20s));
    (void)os::shutdown_both(daemon_end_.get());
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
        // Compared as a flag: printing two 64 KiB lines would bury the message.
        ASSERT_TRUE(line == numbered_line(line[0], next, length(next)))
            << "line " << next << " of stream " << line[0] << " mixed or out of order";
        ++next;
    }
    EXPECT_EQ(next_out, kLines);
    EXPECT_EQ(next_err, kLines);
}

TEST_F(RelayTest, GoneClientEndsTheRelay) {
    start_stream(start({"sleep", "30"}));
    output_ = start_relay();
    client_end_.reset();
    ASSERT_TRUE(os::write_all(output_.get(), "nobody reads this\n"));
    EXPECT_TRUE(relays_finished(5s));
    EXPECT_FALSE(stream_->send("x\n"));  // broken for the other relay too
}

TEST_F(RelayTest, SlowClientIsWaitedForWhileTheProcessRuns) {
    constexpr int kLines = 2000;
    const std::string line = std::string(999, 'x') + "\n";
    start_stream(start({"sleep", "30"}));
    // More than the socket and pipe buffers hold, so the relay must wait for the client.
    auto writer =
        write_lines(start_relay(), kLines, [&](int) -> const std::string& { return line; });

    // Longer than the drain time: no time limit may apply while the process runs.
    EXPECT_FALSE(relays_finished(kDrainTime + 500ms));
    auto received =
        std::async(std::launch::async, [fd = client_end_.get()] { return receive_all(fd, 20s); });
    ASSERT_TRUE(relays_finished(20s));
    (void)os::shutdown_both(daemon_end_.get());
    ASSERT_EQ(received.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(received.get().size(), line.size() * kLines);
}

TEST_F(RelayTest, OutputLeftAfterTheExitIsStillRelayed) {
    start_stream(exited_process());
    output_ = start_relay("one\ntwo\n");
    output_.reset();
    EXPECT_EQ(received_after_relays(), "one\ntwo\n");
}

TEST_F(RelayTest, OutputWrittenAfterTheExitIsNotRelayed) {
    ASSERT_TRUE(os::ignore_sigpipe());  // the writer below outlives the relay's read end
    start_stream(exited_process());
    // The write end stays open and busy, as if a descendant of the exited process held it.
    output_ = start_relay("held\nno line feed");
    std::atomic<bool> stop = false;
    auto descendant = std::async(std::launch::async, [&] {
        do {
            std::this_thread::sleep_for(200ms);
        } while (!stop && os::write_all(output_.get(), "late\n"));
    });
    EXPECT_TRUE(relays_finished(5s));
    stop = true;
    descendant.wait();
    EXPECT_EQ(received_after_relays(), "held\nno line feed\n");
}

TEST_F(RelayTest, ClientThatStopsReadingCannotHoldTheEndPastTheDrainTime) {
    ASSERT_TRUE(os::ignore_sigpipe());  // the writer below outlives the relay's read end
    const std::string line = std::string(999, 'y') + "\n";
    start_stream(start({"sleep", "30"}));
    auto writer =
        write_lines(start_relay(), 10000, [&](int) -> const std::string& { return line; });

    // The client never reads; the relay is stuck in a send until the process ends.
    EXPECT_FALSE(relays_finished(300ms));
    ASSERT_TRUE(process_->send_signal(SIGKILL));
    EXPECT_TRUE(relays_finished(kDrainTime + 3s));
    EXPECT_FALSE(stream_->send("x\n"));
    EXPECT_EQ(writer.wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace marlox::tunnel
