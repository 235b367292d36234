// A daemon whose standard error breaks while it runs: it serves on, and tunnels still end.
#include <filesystem>

#include "fault_probe.h"
#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

class BrokenStderrTest : public TunnelTest {};

TEST_F(BrokenStderrTest, DaemonServesOnAndAClosingClientStillEndsItsTunnel) {
    auto first = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(first) << first.error();
    ASSERT_TRUE(break_stderr_of(daemon().pid()));

    // The watcher's log line now fails with EPIPE; the SIGTERM must go out all the same.
    first->close();
    EXPECT_TRUE(fake().wait_for("term"));
    EXPECT_TRUE(status_becomes(false));
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));

    // Again with a second tunnel, after the first failed write, and with a half-close.
    fake().forget("term");
    // Armed before the half-close, so the SIGTERM cannot land before the script waits for it.
    fake().write_script("again", "ignore-term\nmark armed\nwait-term 20000\nout bye\n");
    auto second = start_tunnel({{"host", "again"}});
    ASSERT_TRUE(second) << second.error();
    ASSERT_TRUE(fake().wait_for("armed"));
    EXPECT_EQ(status(), kRunning);
    ASSERT_TRUE(second->shut_write());
    EXPECT_TRUE(fake().wait_for("term"));
    EXPECT_EQ(second->read_to_end().bytes, "bye\n");
    EXPECT_TRUE(status_becomes(false));

    EXPECT_EQ(answer_to("{\"cmd\":\"disconnect\"}\n"), kOk);
    EXPECT_EQ(answer_to("{\"cmd\":\"nope\"}\n"), "{\"error\":\"unknown cmd\"}\n");
    EXPECT_TRUE(daemon().running());
    EXPECT_TRUE(eventually([&] { return children_of(daemon().pid()).empty(); }));
}

}  // namespace
}  // namespace marlox::support
