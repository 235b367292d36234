// A tunnel process that dies, quits at once or will not stop, and a launch without descriptors.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "fault_probe.h"
#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

constexpr std::string_view kStartLine = "[marlox-helper] listening on /run/marlox/helper.sock\n";

class TunnelFaultTest : public TunnelTest {
protected:
    pid_t tunnel_pid() { return std::stoi(fake().read("pid").value_or("0")); }

    // However the tunnel ended: the record is free, the file gone, the process reaped, and the
    // next tunnel starts normally.
    void expect_nothing_left(pid_t tunnel) {
        EXPECT_TRUE(status_becomes(false));
        EXPECT_FALSE(std::filesystem::exists(kConfigPath));
        EXPECT_TRUE(eventually([&] { return !process_state(tunnel); })) << "tunnel not reaped";
        EXPECT_TRUE(children_of(daemon().pid()).empty());
        fake().write_script("next", "out next\nexit 0\n");
        EXPECT_EQ(answer_to(connect_line({{"host", "next"}})), "next\n");
    }
};

TEST_F(TunnelFaultTest, TunnelKilledOutrightEndsTheStreamAndIsCleanedUp) {
    fake().write_script("h", "out up\nsleep 20000\n");
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    ASSERT_EQ(client->read_line(), "up\n");
    const pid_t tunnel = tunnel_pid();

    ASSERT_EQ(::kill(tunnel, SIGKILL), 0);
    const Received rest = client->read_to_end();
    EXPECT_EQ(rest.bytes, "");
    EXPECT_EQ(rest.end, StreamEnd::kEof);
    // No stop line: a tunnel that died is not the client's doing. Only how it ended.
    const std::string log =
        std::string(kStartLine) + started_lines("h") + ended_line("killed by signal 9");
    expect_nothing_left(tunnel);
    EXPECT_FALSE(fake().has("term"));
    EXPECT_TRUE(daemon().wait_for_stderr(log));
    EXPECT_TRUE(daemon().stderr_text().starts_with(log)) << daemon().stderr_text();
}

TEST_F(TunnelFaultTest, TunnelThatExitsAtOnceEndsTheStreamAndIsCleanedUp) {
    fake().write_script("h", "exit 1\n");
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    const pid_t tunnel = tunnel_pid();
    const Received received = client->read_to_end();
    EXPECT_EQ(received.bytes, "");
    EXPECT_EQ(received.end, StreamEnd::kEof);
    const std::string log =
        std::string(kStartLine) + started_lines("h") + ended_line("exit status 1");
    expect_nothing_left(tunnel);
    EXPECT_TRUE(daemon().wait_for_stderr(log));
    EXPECT_TRUE(daemon().stderr_text().starts_with(log)) << daemon().stderr_text();
}

// SIGTERM is a request: a tunnel that ignores it keeps running, and the daemon keeps saying so
// (it never escalates to SIGKILL) until the process ends by itself. Then all is cleaned up.
TEST_F(TunnelFaultTest, TunnelThatIgnoresTermCountsAsRunningUntilItReallyExits) {
    fake().write_script("h", "ignore-term\nout up\nsleep 1500\nout still here\n");
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    ASSERT_EQ(client->read_line(), "up\n");
    const pid_t tunnel = tunnel_pid();

    EXPECT_EQ(answer_to("{\"cmd\":\"disconnect\"}\n"), kOk);
    ASSERT_TRUE(fake().wait_for("term"));
    EXPECT_EQ(status(), kRunning);
    EXPECT_NE(process_state(tunnel).value_or('Z'), 'Z') << "the tunnel should still run";
    ASSERT_TRUE(client->shut_write());  // the watcher's SIGTERM is ignored just the same
    EXPECT_TRUE(daemon().wait_for_stderr("结束隧道 pid=" + std::to_string(tunnel) + "\n"));
    EXPECT_EQ(status(), kRunning);
    EXPECT_EQ(answer_to(connect_line({{"host", "other"}})), kAlreadyConnected);

    const Received rest = client->read_to_end();
    EXPECT_EQ(rest.bytes, "still here\n");
    EXPECT_EQ(rest.end, StreamEnd::kEof);
    expect_nothing_left(tunnel);
}

// With descriptors short the connect fails at whichever step first needs one (the request's
// duplicate, the configuration file, the pipes, the pidfd, the relays' duplicates); every such
// failure must leave no reservation, no file and no process, and the daemon must serve on.
TEST_F(TunnelFaultTest, DescriptorShortageAtAnyStepOfAConnectLeavesNothingBehind) {
    fake().write_script("h", "out up\nexit 0\n");
    EXPECT_EQ(status(), kNotRunning);  // a first connection, then the daemon at rest
    const Footprint idle = settled_footprint(daemon().pid());
    rlimit inherited{};
    ASSERT_EQ(::prlimit(daemon().pid(), RLIMIT_NOFILE, nullptr, &inherited), 0);
    bool reached_spawn = false;
    bool tunnel_ran = false;
    for (rlim_t limit = idle.descriptors + 1; limit <= idle.descriptors + 16 && !tunnel_ran;
         ++limit) {
        SCOPED_TRACE("descriptor limit " + std::to_string(limit));
        const rlimit value{limit, inherited.rlim_max};
        ASSERT_EQ(::prlimit(daemon().pid(), RLIMIT_NOFILE, &value, nullptr), 0);

        const std::string reply = answer_to(connect_line({{"host", "h"}}));
        reached_spawn = reached_spawn || reply.starts_with("{\"error\":\"spawn: Too many open");
        tunnel_ran = reply == "up\n";
        EXPECT_TRUE(tunnel_ran || reply.empty() || reply.starts_with("{\"error\":\""))
            << "unexpected reply " << reply;
        EXPECT_NE(reply, kAlreadyConnected) << "an earlier failure kept the reservation";

        ASSERT_EQ(::prlimit(daemon().pid(), RLIMIT_NOFILE, &inherited, nullptr), 0);
        EXPECT_TRUE(status_becomes(false));
        EXPECT_FALSE(std::filesystem::exists(kConfigPath));
        EXPECT_TRUE(eventually([&] { return children_of(daemon().pid()).empty(); }));
        EXPECT_TRUE(eventually([&] { return footprint(daemon().pid()) == idle; }))
            << footprint(daemon().pid()) << " against " << idle << " when idle";
    }
    EXPECT_TRUE(reached_spawn) << "no limit made the tunnel's start fail";
    EXPECT_TRUE(tunnel_ran) << "the tunnel never ran, even with room";
}

}  // namespace
}  // namespace marlox::support
