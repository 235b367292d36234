// The connection watcher through the real daemon: a tunnel ends with the connection that asked.
#include <filesystem>
#include <thread>

#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

constexpr std::string_view kStartLine = "[marlox-helper] listening on /run/marlox/helper.sock\n";

using WatcherTest = TunnelTest;

TEST_F(WatcherTest, ClosingTheConnectionEndsTheTunnelAndSaysSo) {
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    client->close();

    EXPECT_TRUE(fake().wait_for("term"));
    EXPECT_TRUE(daemon().wait_for_stderr(watcher_line())) << daemon().stderr_text();
    EXPECT_TRUE(status_becomes(false));
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    // The watcher's line is the audit line of this stop.
    EXPECT_TRUE(daemon().wait_for_stderr(ended_line("exit status 0")));
    EXPECT_EQ(daemon().stderr_text(), std::string(kStartLine) + started_lines("h") +
                                          watcher_line() + ended_line("exit status 0"));
}

TEST_F(WatcherTest, HalfCloseEndsTheTunnelAndTheClientStillGetsTheLastLines) {
    // Armed before the half-close, so the SIGTERM cannot land before the script waits for it.
    fake().write_script("h",
                        "ignore-term\nmark armed\nwait-term 20000\nout stdout after term\n"
                        "err stderr after term\n");
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(fake().wait_for("armed"));
    ASSERT_TRUE(client->shut_write());

    const Received received = client->read_to_end();
    EXPECT_EQ(received.end, StreamEnd::kEof);
    EXPECT_NE(received.bytes.find("stdout after term\n"), std::string::npos) << received.bytes;
    EXPECT_NE(received.bytes.find("stderr after term\n"), std::string::npos) << received.bytes;
    EXPECT_EQ(received.bytes.size(), 36u) << received.bytes;
    EXPECT_TRUE(daemon().wait_for_stderr(watcher_line())) << daemon().stderr_text();
    EXPECT_EQ(status(), kNotRunning);
}

TEST_F(WatcherTest, BytesAfterTheRequestDoNotEndTheTunnel) {
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(client->send(connect_line({{"host", "h"}}) + "{\"cmd\":\"disconnect\"}\nnoise"));
    ASSERT_TRUE(fake().wait_for("ready"));
    ASSERT_TRUE(client->send(std::string(10000, 'z') + "\n"));

    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_FALSE(fake().has("term"));
    EXPECT_EQ(status(), kRunning);
    EXPECT_EQ(daemon().stderr_text(), std::string(kStartLine) + started_lines("h"));
}

TEST_F(WatcherTest, TunnelThatEndsByItselfGetsNoWatcherLine) {
    fake().write_script("h", "out done\nexit 3\n");
    auto client = send_connect({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(client->read_to_end().bytes, "done\n");
    // The watcher wakes with the connection's shutdown and must find nothing to end.
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(daemon().stderr_text(),
              std::string(kStartLine) + started_lines("h") + ended_line("exit status 3"));
    EXPECT_FALSE(fake().has("term"));
}

TEST_F(WatcherTest, ClosingAnEndedTunnelsConnectionLeavesTheNextOneAlone) {
    fake().write_script("first", "out one\nexit 0\n");
    auto first = send_connect({{"host", "first"}});
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(first->read_line(), "one\n");
    ASSERT_TRUE(first->wait_closed());

    auto second = start_tunnel({{"host", "second"}});
    ASSERT_TRUE(second) << second.error();
    first->close();  // the first tunnel's connection goes only now
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(fake().has("term"));
    EXPECT_EQ(status(), kRunning);
}

}  // namespace
}  // namespace marlox::support
