// Hostile and broken clients against the real daemon: a burst, a killed client, a stuck reader.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "fault_probe.h"
#include "support/reap.h"
#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

constexpr std::string_view kStatus = "{\"cmd\":\"status\"}\n";

using ClientFaultTest = TunnelTest;

TEST_F(ClientFaultTest, BurstOfTwoThousandIsAllAnsweredWhileIdleClientsHoldOn) {
    // Idle clients first: each holds a connection thread of the daemon blocked in its read.
    constexpr int kIdle = 100;
    std::vector<Client> idle;
    for (int i = 0; i < kIdle; ++i) {
        auto client = Client::connect();
        ASSERT_TRUE(client) << "idle client " << i << ": " << client.error();
        idle.push_back(std::move(*client));
    }

    // All connected before any request goes out, so the daemon holds them all at once.
    constexpr int kBurst = 2000;
    std::vector<Client> burst;
    burst.reserve(kBurst);
    for (int i = 0; i < kBurst; ++i) {
        auto client = Client::connect();
        ASSERT_TRUE(client) << "client " << i << ": " << client.error();
        burst.push_back(std::move(*client));
    }
    for (Client& client : burst) ASSERT_TRUE(client.send(kStatus));
    int answered = 0;
    for (Client& client : burst) {
        const Received received = client.read_to_end(milliseconds(20000));
        answered += received.bytes == kNotRunning && received.end == StreamEnd::kEof;
    }
    EXPECT_EQ(answered, kBurst);

    // The idle ones were neither dropped nor answered, and each is still served.
    int still_served = 0;
    for (Client& client : idle) {
        if (client.read_line(milliseconds(0)) || client.end() != StreamEnd::kOpen) continue;
        still_served += client.send(kStatus) && client.read_to_end().bytes == kNotRunning;
    }
    EXPECT_EQ(still_served, kIdle);
}

TEST_F(ClientFaultTest, ClientKilledDuringATunnelEndsItWithALogLineAndNothingLeft) {
    auto connection = send_connect({{"host", "h"}});
    ASSERT_TRUE(connection) << connection.error();
    ASSERT_TRUE(fake().wait_for("ready"));

    // The connection's only holder becomes a separate process, which is then killed outright:
    // no shutdown, no close by the application, just the kernel tearing the socket down.
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) ::pause();
    }
    auto holder_fd = open_pidfd(holder);
    ASSERT_TRUE(holder_fd) << holder_fd.error();
    connection->close();
    EXPECT_EQ(status(), kRunning) << "the tunnel must outlive the test's copy of the socket";

    ASSERT_EQ(::kill(holder, SIGKILL), 0);
    ASSERT_TRUE(reap_within(holder_fd->get(), kDefaultTimeout));

    EXPECT_TRUE(fake().wait_for("term"));
    EXPECT_TRUE(daemon().wait_for_stderr(watcher_line())) << daemon().stderr_text();
    EXPECT_TRUE(status_becomes(false));
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    const pid_t tunnel = std::stoi(fake().read("pid").value_or("0"));
    EXPECT_TRUE(eventually([&] { return !process_state(tunnel); })) << "tunnel not reaped";
    EXPECT_TRUE(children_of(daemon().pid()).empty());
}

TEST_F(ClientFaultTest, ClientThatStopsReadingHoldsUpNeitherOthersNorDisconnect) {
    // Far more output than the pipes and the socket can hold: the relays and then the tunnel
    // process block on it for as long as the client does not read.
    fake().write_script("h", "flood 20000 1000\n");
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    const int small = 4096;
    ASSERT_EQ(::setsockopt(client->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    ASSERT_TRUE(client->send(connect_line({{"host", "h"}})));
    ASSERT_TRUE(fake().wait_for("ready"));
    std::this_thread::sleep_for(milliseconds(300));  // time for every buffer to fill

    // Other clients are served while that one is stuck.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(status(), kRunning);
    EXPECT_EQ(answer_to(connect_line({{"host", "other"}})), kAlreadyConnected);

    // "disconnect" still ends the tunnel, and the daemon cleans up without the client's help.
    EXPECT_EQ(answer_to("{\"cmd\":\"disconnect\"}\n"), kOk);
    EXPECT_TRUE(fake().wait_for("term"));
    EXPECT_TRUE(status_becomes(false, milliseconds(15000)));
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    EXPECT_TRUE(eventually([&] { return children_of(daemon().pid()).empty(); }));

    // The stuck client's connection is over too: what it finally reads ends.
    EXPECT_TRUE(client->wait_closed(milliseconds(15000)));

    // And the next tunnel starts normally.
    fake().write_script("next", "out next\nexit 0\n");
    EXPECT_EQ(answer_to(connect_line({{"host", "next"}})), "next\n");
}

}  // namespace
}  // namespace marlox::support
