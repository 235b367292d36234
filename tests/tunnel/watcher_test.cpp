// Tests of the connection watcher with a real socket pair and a real child process.
#include "tunnel/watcher.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "os/child.h"
#include "os/io.h"
#include "os/poll.h"

namespace marlox::tunnel {
namespace {

using namespace std::chrono_literals;

class WatcherTest : public ::testing::Test {
protected:
    void SetUp() override { new_connection(); }

    void new_connection() {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        daemon_end_.reset(fds[0]);
        client_end_.reset(fds[1]);
    }

    static os::Child sleeper() {
        const std::vector<std::string> argv = {"sleep", "30"};
        auto child = os::Child::spawn(argv);
        EXPECT_TRUE(child.has_value());
        return std::move(*child);
    }
    static bool exits_within(const os::Child& child, std::chrono::milliseconds limit) {
        const auto woke = os::wait_ready(child.pidfd(), os::Readiness::kReadable, -1,
                                         static_cast<int>(limit.count()));
        return woke && woke->ready;
    }

    // Starts the watcher on a duplicate of the daemon's end, as the tunnel does.
    // Records tunnel in the record and starts its watcher on a duplicate of the daemon's end,
    // as the tunnel does.
    std::future<void> record_and_watch(pid_t pid) {
        EXPECT_TRUE(record_->try_reserve(0, {}));
        const std::uint64_t generation = record_->record_pid(pid);
        auto conn = os::dup_cloexec(daemon_end_.get());
        EXPECT_TRUE(conn.has_value());
        return std::async(std::launch::async,
                          [conn = std::move(*conn), record = record_, pid, generation]() mutable {
                              watch_connection(std::move(conn), std::move(record), pid, generation);
                          });
    }

    std::shared_ptr<TunnelRecord> record_ = std::make_shared<TunnelRecord>();
    os::UniqueFd daemon_end_;
    os::UniqueFd client_end_;
};

TEST_F(WatcherTest, ClientClosingEndsTheRecordedTunnel) {
    os::Child tunnel = sleeper();
    auto watcher = record_and_watch(tunnel.pid());

    // Bytes after the request are read and dropped; they end nothing.
    ASSERT_TRUE(os::send_all(client_end_.get(),
                             "more bytes than the watcher's buffer holds, "
                             "sent after the request line\n"));
    EXPECT_EQ(watcher.wait_for(300ms), std::future_status::timeout);
    EXPECT_FALSE(exits_within(tunnel, 0ms));

    client_end_.reset();
    ASSERT_EQ(watcher.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(exits_within(tunnel, 5s));
    EXPECT_TRUE(record_->is_running());  // only the connection thread clears it
}

TEST_F(WatcherTest, ClientEndingItsSendingSideEndsTheTunnel) {
    os::Child tunnel = sleeper();
    auto watcher = record_and_watch(tunnel.pid());

    ASSERT_EQ(::shutdown(client_end_.get(), SHUT_WR), 0);
    ASSERT_EQ(watcher.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(exits_within(tunnel, 5s));
}

TEST_F(WatcherTest, StaleWatcherLeavesOtherTunnelsAlone) {
    os::Child old_tunnel = sleeper();
    os::Child new_tunnel = sleeper();
    struct Case {
        const char* what;
        const os::Child* newer;  // the tunnel recorded after the old one; none: record cleared
    };
    // A newer tunnel whose process the system gave the old one's pid, after the old one was
    // reaped: here the old process itself stands for it, recorded again.
    for (const Case c :
         {Case{"record cleared", nullptr}, Case{"newer tunnel recorded", &new_tunnel},
          Case{"newer tunnel with the same pid", &old_tunnel}}) {
        SCOPED_TRACE(c.what);
        new_connection();
        auto watcher = record_and_watch(old_tunnel.pid());
        record_->clear(std::nullopt);
        if (c.newer != nullptr) {
            ASSERT_TRUE(record_->try_reserve(0, {}));
            (void)record_->record_pid(c.newer->pid());
        }

        // The connection thread's shutdown wakes the watcher as the client's close would.
        ASSERT_TRUE(os::shutdown_both(daemon_end_.get()));
        ASSERT_EQ(watcher.wait_for(5s), std::future_status::ready);
        EXPECT_FALSE(exits_within(old_tunnel, 300ms));
        EXPECT_FALSE(exits_within(new_tunnel, 0ms));
        EXPECT_EQ(record_->is_running(), c.newer != nullptr);
        record_->clear(std::nullopt);
    }
}

}  // namespace
}  // namespace marlox::tunnel
