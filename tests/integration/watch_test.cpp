// "watch" through the real daemon: the state now, then every change in order, and the audit log.
#include <poll.h>

#include <filesystem>
#include <string>

#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

constexpr std::string_view kStartLine = "[marlox-helper] listening on /run/marlox/helper.sock\n";
constexpr std::string_view kIdle = "{\"state\":\"idle\"}\n";
constexpr std::string_view kStarting = "{\"state\":\"starting\",\"uid\":0}\n";
const std::string kWriteConfFailed = "{\"error\":\"write conf failed\"}\n";

class WatchTest : public TunnelTest {
protected:
    // A watcher that has read its snapshot, which must be idle.
    Client idle_watcher() {
        auto watcher = start_watch();
        EXPECT_TRUE(watcher) << watcher.error();
        EXPECT_EQ(watcher->read_line(), kIdle);
        return std::move(*watcher);
    }

    // The watch line of the fake's tunnel in state name, started by uid 0, with more members.
    std::string tunnel_line(std::string_view name, std::string_view more = "") {
        return "{\"state\":\"" + std::string(name) +
               "\",\"uid\":0,\"pid\":" + fake().read("pid").value_or("?") + std::string(more) +
               "}\n";
    }
};

TEST_F(WatchTest, WatcherSeesEveryStateInOrderAndTheLogSaysWhoWhereAndHow) {
    fake().write_script("vpn.example",
                        "out Tunnel is up and running.\nnotify READY=1\nwait-term 20000\nexit 5\n");
    Client watcher = idle_watcher();
    // A user name with a quote, a backslash, an escape sequence and a tab, which must neither
    // reach the log raw nor break its line.
    auto client = start_tunnel({{"host", "vpn.example"},
                                {"port", "443"},
                                {"username", "eve\"\\\x1b[0m\t"},
                                {"ticket", "s3cr3t-ticket"}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(client->read_line(), "Tunnel is up and running.\n");
    EXPECT_EQ(watcher.read_line(), kStarting);
    EXPECT_EQ(watcher.read_line(), tunnel_line("connecting"));
    EXPECT_EQ(watcher.read_line(), tunnel_line("up"));

    client->close();
    EXPECT_EQ(watcher.read_line(), tunnel_line("stopping", ",\"by\":\"app\""));
    EXPECT_EQ(watcher.read_line(), "{\"state\":\"idle\",\"exit\":5}\n");
    // The idle line leaves once the record is clear.
    EXPECT_EQ(status(), kNotRunning);

    const std::string pid = fake().read("pid").value_or("?");
    EXPECT_EQ(daemon().stderr_text(),
              std::string(kStartLine) +
                  "[marlox-helper] tunnel starting: uid=0 host=\"vpn.example\" port=\"443\" "
                  "username=\"eve\\\"\\\\\\x1b[0m\\x09\"\n"
                  "[marlox-helper] tunnel connecting: uid=0 pid=" +
                  pid + "\n[marlox-helper] tunnel up: uid=0 pid=" + pid + "\n" + watcher_line() +
                  "[marlox-helper] tunnel ended: uid=0 pid=" + pid + " exit status 5\n");
    EXPECT_EQ(daemon().stderr_text().find("s3cr3t"), std::string::npos);
}

TEST_F(WatchTest, FailedStartIsSeenAsStartingThenIdleWithTheError) {
    Client watcher = idle_watcher();
    // A directory in the file's place makes the write fail; a NUL in the realm, the spawn.
    ASSERT_TRUE(std::filesystem::create_directories(kConfigPath + "/in-the-way"));
    EXPECT_EQ(answer_to(connect_line({{"host", "h"}})), kWriteConfFailed);
    EXPECT_EQ(watcher.read_line(), kStarting);
    EXPECT_EQ(watcher.read_line(), "{\"state\":\"idle\",\"error\":\"write conf failed\"}\n");

    std::filesystem::remove_all(kConfigPath);
    EXPECT_EQ(answer_to(connect_line({{"host", "h"}, {"realm", std::string("\0", 1)}})),
              "{\"error\":\"spawn: nul byte found in provided data\"}\n");
    EXPECT_EQ(watcher.read_line(), kStarting);
    EXPECT_EQ(watcher.read_line(),
              "{\"state\":\"idle\",\"error\":\"spawn: nul byte found in provided data\"}\n");

    EXPECT_TRUE(daemon().wait_for_stderr(
        "[marlox-helper] tunnel failed to start: uid=0 error=\"write conf failed\"\n"));
    EXPECT_TRUE(daemon().wait_for_stderr(
        "[marlox-helper] tunnel failed to start: uid=0 error=\"spawn: nul byte found in "
        "provided data\"\n"));
}

// Only the first SIGTERM is a change; a later one, and a disconnect with no tunnel, add nothing.
TEST_F(WatchTest, DisconnectFromAnotherUserSaysWhoStoppedTheTunnel) {
    fake().write_script("h",
                        "ignore-term\nmark armed\nwait-term 20000\nmark got-term\n"
                        "wait-term 20000\nexit 0\n");
    Client watcher = idle_watcher();
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(fake().wait_for("armed"));
    EXPECT_EQ(watcher.read_line(), kStarting);
    EXPECT_EQ(watcher.read_line(), tunnel_line("connecting"));

    auto first = exchange_as(1000, "{\"cmd\":\"disconnect\"}\n");
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(first->bytes, kOk);
    EXPECT_EQ(watcher.read_line(),
              tunnel_line("stopping", ",\"by\":\"disconnect\",\"by_uid\":1000"));
    ASSERT_TRUE(fake().wait_for("got-term"));
    auto second = exchange_as(1001, "{\"cmd\":\"disconnect\"}\n");
    ASSERT_TRUE(second) << second.error();
    EXPECT_EQ(second->bytes, kOk);
    EXPECT_EQ(watcher.read_line(), "{\"state\":\"idle\",\"exit\":0}\n");

    EXPECT_EQ(answer_to("{\"cmd\":\"disconnect\"}\n"), kOk);  // no tunnel
    (void)answer_to(connect_line({{"host", "h"}, {"realm", std::string("\0", 1)}}));
    EXPECT_EQ(watcher.read_line(), kStarting) << "the disconnects left lines of their own";

    EXPECT_TRUE(daemon().wait_for_stderr(
        "[marlox-helper] tunnel stopping: uid=0 pid=" + fake().read("pid").value_or("?") +
        " by disconnect from uid=1000\n"));
    EXPECT_EQ(daemon().stderr_text().find("uid=1001"), std::string::npos);
}

TEST_F(WatchTest, SnapshotInTheMiddleOfATunnelIsItsCurrentState) {
    fake().write_script("h", "notify READY=1\nignore-term\nwait-term 20000\nwait-term 20000\n");
    Client first = idle_watcher();
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(first.read_line(), kStarting);
    EXPECT_EQ(first.read_line(), tunnel_line("connecting"));
    EXPECT_EQ(first.read_line(), tunnel_line("up"));

    auto up = start_watch();
    ASSERT_TRUE(up) << up.error();
    EXPECT_EQ(up->read_line(), tunnel_line("up"));

    auto stop = exchange_as(1000, "{\"cmd\":\"disconnect\"}\n");
    ASSERT_TRUE(stop) << stop.error();
    const std::string stopping = tunnel_line("stopping", ",\"by\":\"disconnect\",\"by_uid\":1000");
    EXPECT_EQ(first.read_line(), stopping);
    EXPECT_EQ(up->read_line(), stopping);
    auto late = start_watch();
    ASSERT_TRUE(late) << late.error();
    EXPECT_EQ(late->read_line(), stopping);
}

// A watcher that never reads, with its socket full: the daemon neither waits for it nor keeps
// its lines for ever.
TEST_F(WatchTest, WatcherThatNeverReadsDelaysNothingAndIsClosed) {
    auto silent = start_watch();
    ASSERT_TRUE(silent) << silent.error();
    ASSERT_EQ(silent->read_line(), kIdle);  // its last read

    // Enough changes to fill what the kernel holds for it, not yet what the daemon allows.
    ASSERT_TRUE(std::filesystem::create_directories(kConfigPath + "/in-the-way"));
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(answer_to(connect_line({{"host", "h"}})), kWriteConfFailed);
    std::filesystem::remove_all(kConfigPath);

    fake().write_script("h", "out hello\nnotify READY=1\nmark up\nwait-term 20000\nout bye\n");
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(client->read_line(), "hello\n");
    ASSERT_TRUE(fake().wait_for("up"));
    EXPECT_EQ(answer_to("{\"cmd\":\"disconnect\"}\n"), kOk);
    EXPECT_EQ(client->read_to_end().bytes, "bye\n");
    EXPECT_EQ(status(), kNotRunning);

    // Falling further behind closes it: the daemon hangs up while the client still reads nothing.
    ASSERT_TRUE(std::filesystem::create_directories(kConfigPath + "/in-the-way"));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(answer_to(connect_line({{"host", "h"}})), kWriteConfFailed);
    pollfd hang_up{silent->fd(), 0, 0};
    ASSERT_EQ(::poll(&hang_up, 1, static_cast<int>(kDefaultTimeout.count())), 1);
    EXPECT_NE(hang_up.revents & POLLHUP, 0);
    const Received rest = silent->read_to_end();
    EXPECT_EQ(rest.end, StreamEnd::kEof);
    EXPECT_TRUE(rest.bytes.starts_with(kStarting)) << rest.bytes.substr(0, 200);
    EXPECT_LT(rest.bytes.size(), std::size_t{16384});
}

}  // namespace
}  // namespace marlox::support
