// A daemon whose standard error breaks or stalls while it runs: it serves on, and tunnels still
// end.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "fault_probe.h"
#include "os/io.h"
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

// A stderr that takes nothing more (a journal that stopped reading): the thread writing an audit
// line waits, but status and watchers, which only need the record, do not wait with it.
TEST_F(BrokenStderrTest, StderrThatStopsTakingLinesHoldsUpNoStatus) {
    auto stalled = os::make_pipe();
    ASSERT_TRUE(stalled);
    ASSERT_EQ(::fcntl(stalled->read_end.get(), F_SETPIPE_SZ, 4096), 4096);
    daemon().kill();
    DaemonOptions options = daemon_options();
    options.stderr_fd = stalled->write_end.get();
    auto daemon = Daemon::start(options);
    ASSERT_TRUE(daemon) << daemon.error();
    // Empty the pipe of the start line (written just after the socket appears), then fill it.
    pollfd start_line{stalled->read_end.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&start_line, 1, static_cast<int>(kDefaultTimeout.count())), 1);
    ASSERT_EQ(::fcntl(stalled->read_end.get(), F_SETFL, O_NONBLOCK), 0);
    char piece[4096];
    ASSERT_GT(::read(stalled->read_end.get(), piece, sizeof piece), 0);
    ASSERT_TRUE(os::write_all(stalled->write_end.get(), std::string(4096, 'x')));

    auto watcher = start_watch();
    ASSERT_TRUE(watcher) << watcher.error();
    EXPECT_EQ(watcher->read_line(), "{\"state\":\"idle\"}\n");
    auto client = send_connect({{"host", "h"}});  // its start line cannot be written
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(watcher->read_line(), "{\"state\":\"starting\",\"uid\":0}\n");
    EXPECT_EQ(status(), kRunning);
    EXPECT_EQ(answer_to("{\"cmd\":\"disconnect\"}\n"), kOk);

    // Once stderr reads again, the tunnel goes on to its end and the lines come in order.
    std::string lines;
    const Deadline deadline(kDefaultTimeout);
    while (lines.find("tunnel ended") == std::string::npos && !deadline.expired()) {
        const ssize_t got = ::read(stalled->read_end.get(), piece, sizeof piece);
        if (got > 0) lines.append(piece, static_cast<std::size_t>(got));
        if (got <= 0) std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_LT(lines.find("tunnel starting"), lines.find("tunnel connecting")) << lines;
    EXPECT_LT(lines.find("tunnel connecting"), lines.find("tunnel ended")) << lines;
    EXPECT_TRUE(status_becomes(false));
}

}  // namespace
}  // namespace marlox::support
