// Readiness through the real daemon: only the tunnel itself makes it up, and the daemon tells its
// own supervisor when it serves.
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <thread>

#include "os/datagram.h"
#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

const std::string kReadinessPath = "/run/marlox/notify";

using ReadinessTest = TunnelTest;

// Sends text to the readiness socket from this process and returns once the daemon has taken
// it off the socket (the sender's queue is empty), or false after the time-out.
bool send_and_see_taken(std::string_view text) {
    const os::UniqueFd sender(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    kReadinessPath.copy(addr.sun_path, kReadinessPath.size());
    if (::sendto(sender.get(), text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                 sizeof addr) != static_cast<ssize_t>(text.size())) {
        return false;
    }
    const Deadline deadline(kDefaultTimeout);
    for (int queued = 1; queued > 0; std::this_thread::sleep_for(milliseconds(1))) {
        if (deadline.expired() || ::ioctl(sender.get(), SIOCOUTQ, &queued) < 0) return false;
    }
    return true;
}

TEST_F(ReadinessTest, ReadyFromAnyOtherProcessDoesNotMakeTheTunnelUp) {
    auto watcher = start_watch();
    ASSERT_TRUE(watcher) << watcher.error();
    EXPECT_EQ(watcher->read_line(), "{\"state\":\"idle\"}\n");
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    const std::string pid = fake().read("pid").value_or("?");
    EXPECT_EQ(watcher->read_line(), "{\"state\":\"starting\",\"uid\":0}\n");
    EXPECT_EQ(watcher->read_line(), "{\"state\":\"connecting\",\"uid\":0,\"pid\":" + pid + "}\n");

    ASSERT_TRUE(send_and_see_taken("READY=1"));
    EXPECT_EQ(answer_to("{\"cmd\":\"disconnect\"}\n"), kOk);
    EXPECT_EQ(watcher->read_line(), "{\"state\":\"stopping\",\"uid\":0,\"pid\":" + pid +
                                        ",\"by\":\"disconnect\",\"by_uid\":0}\n");
}

// Given NOTIFY_SOCKET (a path, or an abstract name), the daemon sends READY=1 there once it
// serves, and its tunnel gets the daemon's own readiness socket instead.
TEST_F(ReadinessTest, DaemonTellsItsSupervisorOnceItServesAndKeepsThatSocketFromTheTunnel) {
    for (const std::string& address :
         {std::string("/run/supervisor-notify"), "@marlox-test-" + std::to_string(::getpid())}) {
        SCOPED_TRACE(address);
        auto supervisor = os::bind_datagram(address);
        ASSERT_TRUE(supervisor) << os::describe(supervisor.error());
        daemon().kill();
        DaemonOptions options = daemon_options();
        options.extra_env.push_back("NOTIFY_SOCKET=" + address);
        options.wait_until_listening = false;
        auto daemon = Daemon::start(options);
        ASSERT_TRUE(daemon) << daemon.error();

        pollfd ready{supervisor->get(), POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, static_cast<int>(kDefaultTimeout.count())), 1);
        std::array<char, 64> text;
        const auto got = os::receive_datagram(supervisor->get(), text);
        ASSERT_TRUE(got);
        EXPECT_EQ(std::string_view(text.data(), got->size), "READY=1");
        EXPECT_EQ(got->sender, daemon->pid());
        EXPECT_EQ(status(), kNotRunning) << "READY=1 came before the daemon served";

        auto client = start_tunnel({{"host", "h"}});
        ASSERT_TRUE(client) << client.error();
        EXPECT_EQ(fake().read("notify-socket"), kReadinessPath);
        client->close();
        EXPECT_TRUE(status_becomes(false));
        daemon->kill();
    }
}

}  // namespace
}  // namespace marlox::support
