// "connect" through the real daemon: how the tunnel process is started and when it is refused.
#include <sys/stat.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

using nlohmann::json;

class LaunchTest : public TunnelTest {};

TEST_F(LaunchTest, TunnelReadsExactlyTheFiveLinesFromAPrivateFile) {
    auto client = start_tunnel({{"host", "vpn.example"},
                                {"port", "443"},
                                {"username", "alice"},
                                {"ticket", "s3cr3t = x"},
                                {"trusted_cert", "ab:cd"}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(fake().read("config"),
              "host = vpn.example\nport = 443\nusername = alice\npassword = s3cr3t = x\n"
              "trusted-cert = ab:cd\n");
    EXPECT_EQ(fake().read("config-mode"), "600");
    // The file stays while the tunnel runs.
    struct stat st {};
    ASSERT_EQ(::lstat(kConfigPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(LaunchTest, MembersThatAreNotStringsGiveEmptyValues) {
    auto client = start_tunnel({{"host", "h"},
                                {"port", 443},
                                {"username", nullptr},
                                {"ticket", json::array()},
                                {"trusted_cert", {{"a", "b"}}}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(fake().read("config"),
              "host = h\nport = \nusername = \npassword = \ntrusted-cert = \n");
}

TEST_F(LaunchTest, LongestValuesOpenfortivpnKeepsReachItUnchanged) {
    const std::string host(253, 'h'), username(64, 'u'), ticket(256, 't'), realm(63, 'r');
    auto client = start_tunnel(
        {{"host", host}, {"username", username}, {"ticket", ticket}, {"realm", realm}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(fake().read("config"), "host = " + host + "\nport = \nusername = " + username +
                                         "\npassword = " + ticket + "\ntrusted-cert = \n");
    EXPECT_EQ(fake().argv().back(), realm);
}

// A daemon started with a descriptor left open, SIGCHLD and SIGHUP ignored, SIGUSR1 and SIGTERM
// blocked.
class UncleanStartTest : public TunnelTest {
protected:
    DaemonOptions daemon_options() const override {
        DaemonOptions options = TunnelTest::daemon_options();
        options.unclean_inheritance = true;
        return options;
    }
};

// The signals a process ignores, from the SigIgn mask in /proc/PID/status.
std::uint64_t ignored_signals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("SigIgn:")) return std::stoull(line.substr(7), nullptr, 16);
    }
    return ~0ULL;
}

TEST_F(UncleanStartTest, TunnelSeesOnlyItsStandardStreamsAndDefaultSignals) {
    // The daemon itself drops the inherited ignored SIGCHLD, so the kernel never reaps its
    // children.
    EXPECT_EQ(ignored_signals(daemon().pid()) & (1ULL << (SIGCHLD - 1)), 0u);
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(fake().read("fds"), "0\n1\n2\n");
    EXPECT_EQ(fake().read("ignored"), "");
    EXPECT_EQ(fake().read("sigpipe"), "default");
    EXPECT_EQ(fake().read("sigmask"), "empty");
}

struct RealmCase {
    std::string name;
    json realm;  // null: member left out
    std::string argument;
};

void PrintTo(const RealmCase& c, std::ostream* out) { *out << c.name; }

class RealmTest : public TunnelTest, public ::testing::WithParamInterface<RealmCase> {};

TEST_P(RealmTest, TunnelGetsConfigPathAndRealmAsArguments) {
    json members = {{"host", "h"}};
    if (!GetParam().realm.is_null()) members["realm"] = GetParam().realm;
    auto client = start_tunnel(members);
    ASSERT_TRUE(client) << client.error();
    const std::vector<std::string> expected = {"openfortivpn", "-c", "/run/marlox/of.conf",
                                               "--realm", GetParam().argument};
    EXPECT_EQ(fake().argv(), expected);
}

INSTANTIATE_TEST_SUITE_P(Realm, RealmTest,
                         ::testing::Values(RealmCase{"Missing", nullptr, "radius"},
                                           RealmCase{"Given", "corp", "corp"},
                                           RealmCase{"Empty", "", ""},
                                           RealmCase{"NotAString", 7, "radius"},
                                           RealmCase{"WithSpaces", " a b ", " a b "}),
                         [](const auto& info) { return info.param.name; });

TEST_F(LaunchTest, NoTunnelProgramOnPathGivesTheSpawnErrorAndRemovesTheFile) {
    daemon().kill();
    DaemonOptions options = daemon_options();
    options.path_variable = "/nonexistent";
    auto without = Daemon::start(options);
    ASSERT_TRUE(without) << without.error();

    EXPECT_EQ(answer_to(connect_line({{"host", "h"}})),
              "{\"error\":\"spawn: No such file or directory (os error 2)\"}\n");
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    EXPECT_EQ(status(), kNotRunning);
}

TEST_F(LaunchTest, NulInTheRealmGivesTheSpawnErrorAndStartsNothing) {
    EXPECT_EQ(answer_to(connect_line({{"host", "h"}, {"realm", std::string("a\0b", 3)}})),
              "{\"error\":\"spawn: nul byte found in provided data\"}\n");
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    EXPECT_FALSE(fake().has("starts"));
    EXPECT_EQ(status(), kNotRunning);
}

// The next request goes out the moment a failed connect's reply is in, before that connection
// has ended: the failed attempt must already have let go of the record by then.
TEST_F(LaunchTest, FailedConnectHasLetGoOfEverythingWhenItsReplyArrives) {
    const std::string spawn_failed = "{\"error\":\"spawn: nul byte found in provided data\"}\n";
    const std::string write_failed = "{\"error\":\"write conf failed\"}\n";
    // A directory in the file's place makes the write fail; a NUL in the realm, the spawn.
    ASSERT_TRUE(std::filesystem::create_directories(kConfigPath + "/in-the-way"));
    std::vector<std::string> faults;
    for (int round = 0; round < 400; ++round) {
        const bool write_fails = round < 200;
        if (round == 200) std::filesystem::remove_all(kConfigPath);
        auto client =
            send_connect({{"host", "h"}, {"realm", write_fails ? "r" : std::string("\0", 1)}});
        ASSERT_TRUE(client) << client.error();
        const auto reply = client->read_line();
        if (reply != (write_fails ? write_failed : spawn_failed)) {
            faults.push_back("connect: " + reply.value_or("no reply"));
        }
        // Every other round "status" asks next; otherwise the next round's connect does.
        if (round % 2 == 1) {
            const std::string answer = status();
            if (answer != kNotRunning) faults.push_back("status: " + answer);
        }
    }
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults, the first " << faults.front();
    EXPECT_FALSE(fake().has("starts"));
}

TEST_F(LaunchTest, SecondConnectWhileOneRunsIsRefusedAndLeavesItAlone) {
    auto first = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(answer_to(connect_line({{"host", "other"}})), kAlreadyConnected);
    EXPECT_EQ(status(), kRunning);
    EXPECT_EQ(fake().starts().size(), 1u);
    EXPECT_FALSE(fake().has("term"));
    EXPECT_EQ(first->read_line(milliseconds(50)), std::nullopt);
    EXPECT_EQ(first->end(), StreamEnd::kOpen);
}

TEST_F(LaunchTest, ManySimultaneousConnectsStartExactlyOneTunnel) {
    constexpr int kClients = 30;
    std::vector<Client> clients;
    for (int i = 0; i < kClients; ++i) {
        auto client = Client::connect();
        ASSERT_TRUE(client) << client.error();
        clients.push_back(std::move(*client));
    }
    const std::string line = connect_line({{"host", "h"}});
    for (Client& client : clients) ASSERT_TRUE(client.send(line));

    int refused = 0;
    Client* holder = nullptr;
    for (Client& client : clients) {
        const auto reply = client.read_line(milliseconds(1000));
        if (reply == kAlreadyConnected) {
            ++refused;
        } else if (!reply && client.end() == StreamEnd::kOpen) {
            holder = &client;
        }
    }
    EXPECT_EQ(refused, kClients - 1);
    ASSERT_NE(holder, nullptr) << "no connection holds the tunnel";
    ASSERT_TRUE(fake().wait_for("ready"));
    EXPECT_EQ(fake().starts().size(), 1u);

    holder->close();  // the watcher ends the tunnel
    EXPECT_TRUE(status_becomes(false));
}

TEST_F(LaunchTest, TunnelThatEndsByItselfLeavesNothingBehind) {
    fake().write_script("h", "out bye\nexit 0\n");
    auto client = send_connect({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    const Received received = client->read_to_end();
    EXPECT_EQ(received.bytes, "bye\n");
    EXPECT_EQ(received.end, StreamEnd::kEof);
    EXPECT_EQ(status(), kNotRunning);
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    // A new tunnel may start at once.
    fake().write_script("again", "out again\nexit 0\n");
    EXPECT_EQ(answer_to(connect_line({{"host", "again"}})), "again\n");
}

TEST_F(LaunchTest, DisconnectFromAnotherConnectionEndsTheTunnel) {
    // Armed before the disconnect, so the SIGTERM cannot land before the script waits for it.
    fake().write_script("h", "ignore-term\nmark armed\nwait-term 20000\nout goodbye\nexit 0\n");
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(fake().wait_for("armed"));
    EXPECT_EQ(status(), kRunning);

    EXPECT_EQ(answer_to("{\"cmd\":\"disconnect\"}\n"), kOk);
    const Received received = client->read_to_end();
    EXPECT_EQ(received.bytes, "goodbye\n");
    EXPECT_EQ(received.end, StreamEnd::kEof);
    EXPECT_TRUE(fake().has("term"));
    EXPECT_EQ(status(), kNotRunning);
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
}

TEST_F(LaunchTest, TunnelStaysRunningUntilItsProcessHasReallyEnded) {
    // Ignores the first SIGTERM for a while: "status" must keep saying running meanwhile.
    fake().write_script("h", "ignore-term\nwait-term 20000\nmark got-term\nsleep 500\nout late\n");
    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(answer_to("{\"cmd\":\"disconnect\"}\n"), kOk);
    ASSERT_TRUE(fake().wait_for("got-term"));
    EXPECT_EQ(status(), kRunning);
    EXPECT_EQ(client->read_to_end().bytes, "late\n");
    EXPECT_EQ(status(), kNotRunning);
}

TEST_F(LaunchTest, DescendantHoldingThePipesCannotHoldTheTunnelOpen) {
    fake().write_script("h", "out before\ndescendant 8000\nexit 0\n");
    auto client = send_connect({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    const Received received = client->read_to_end();
    EXPECT_EQ(received.bytes, "before\n");
    EXPECT_EQ(received.end, StreamEnd::kEof);
    EXPECT_EQ(status(), kNotRunning);
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
}

// Once the tunnel process has exited, a descendant that holds its pipes and keeps printing
// neither keeps the tunnel running nor reaches the client; the process's own last lines do.
TEST_F(LaunchTest, DescendantPrintingAfterTheExitCannotKeepTheTunnelRunning) {
    fake().write_script("h",
                        "chatty-descendant 200\nout last-1\nerr last-2\nout-raw last-3\n"
                        "mark exiting\nexit 0\n");
    auto client = send_connect({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(fake().wait_for("exiting"));
    EXPECT_TRUE(status_becomes(false, milliseconds(3000)));
    const Received received = client->read_to_end();
    EXPECT_EQ(received.end, StreamEnd::kEof);
    for (const char* line : {"last-1\n", "last-2\n", "last-3\n"}) {
        EXPECT_NE(received.bytes.find(line), std::string::npos) << line << " is missing";
    }
    EXPECT_EQ(received.bytes.size(), 21u) << received.bytes;
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
}

}  // namespace
}  // namespace marlox::support
