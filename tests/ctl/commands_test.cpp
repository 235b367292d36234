// marlox-ctl's commands against the real daemon: status, disconnect, connect and its ticket.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ctl_fixture.h"
#include "os/unique_fd.h"

namespace marlox::ctltest {
namespace {

const std::string kConfigPath = "/run/marlox/of.conf";
const std::string kDigest(64, 'c');

using CommandsTest = CtlTest;

TEST_F(CommandsTest, StatusOnAFreshDaemonPrintsNotRunning) {
    auto plain = run_ctl({{"status"}});
    ASSERT_TRUE(plain) << plain.error();
    EXPECT_EQ(describe(plain->status), "exit 0");
    EXPECT_EQ(plain->out, "not running\n");
    EXPECT_EQ(plain->err, "");

    auto json = run_ctl({{"status", "--json"}});
    ASSERT_TRUE(json) << json.error();
    EXPECT_EQ(describe(json->status), "exit 0");
    EXPECT_EQ(json->out, kNotRunning);
}

TEST_F(CommandsTest, StatusWhileATunnelRunsAndDisconnectEndsIt) {
    fake().write_script("h", "ignore-term\nout up\nwait-term 20000\nout going down\n");
    auto connect = start_connect("h");
    ASSERT_TRUE(connect) << connect.error();

    auto plain = run_ctl({{"status"}});
    ASSERT_TRUE(plain) << plain.error();
    EXPECT_EQ(plain->out, "running\n");
    auto json = run_ctl({{"status", "--json"}});
    ASSERT_TRUE(json) << json.error();
    EXPECT_EQ(json->out, kRunning);

    auto disconnect = run_ctl({{"disconnect"}});
    ASSERT_TRUE(disconnect) << disconnect.error();
    EXPECT_EQ(describe(disconnect->status), "exit 0");
    EXPECT_EQ(disconnect->out, "");
    EXPECT_EQ(disconnect->err, "");
    EXPECT_TRUE(fake().wait_for("term"));

    // The connect stream carries the tunnel's last line, then ends, and so does marlox-ctl.
    const auto ended = connect->wait_exit();
    ASSERT_TRUE(ended.has_value()) << connect->err();
    EXPECT_EQ(describe(*ended), "exit 0");
    EXPECT_EQ(connect->out(), "up\ngoing down\n");
    EXPECT_EQ(connect->err(), "");
    EXPECT_EQ(status_reply(), kNotRunning);
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
}

TEST_F(CommandsTest, WatchShowsEachStateUntilTheDaemonCloses) {
    fake().write_script("h", "notify READY=1\nwait-term 20000\nexit 1\n");
    auto words = CtlProcess::start({{"watch"}, /*uid=*/1000});
    ASSERT_TRUE(words) << words.error();
    auto json = CtlProcess::start({{"watch", "--json"}});
    ASSERT_TRUE(json) << json.error();
    ASSERT_TRUE(words->wait_out("idle\n")) << words->err();
    ASSERT_TRUE(json->wait_out("{\"state\":\"idle\"}\n")) << json->err();

    auto connect = start_connect("h");
    ASSERT_TRUE(connect) << connect.error();
    const std::string pid = fake().read("pid").value_or("?");
    ASSERT_TRUE(words->wait_out("up (pid " + pid + ", uid 0)\n")) << words->out();
    auto disconnect = run_ctl({{"disconnect"}, /*uid=*/1001});
    ASSERT_TRUE(disconnect) << disconnect.error();
    ASSERT_TRUE(words->wait_out("ended: exit status 1\n")) << words->out();
    ASSERT_TRUE(json->wait_out("{\"state\":\"idle\",\"exit\":1}\n")) << json->out();

    // The daemon going away is the end of the stream, and of watching.
    daemon().kill();
    for (CtlProcess* watch : {&*words, &*json}) {
        const auto ended = watch->wait_exit();
        ASSERT_TRUE(ended.has_value()) << watch->err();
        EXPECT_EQ(describe(*ended), "exit 0");
        EXPECT_EQ(watch->err(), "");
    }
    EXPECT_EQ(words->out(), "idle\nstarting (uid 0)\nconnecting (pid " + pid +
                                ", uid 0)\nup (pid " + pid +
                                ", uid 0)\nstopping: disconnect from uid 1001\n"
                                "ended: exit status 1\n");
    const std::string tunnel = "\"uid\":0,\"pid\":" + pid;
    EXPECT_EQ(json->out(),
              "{\"state\":\"idle\"}\n{\"state\":\"starting\",\"uid\":0}\n"
              "{\"state\":\"connecting\"," +
                  tunnel + "}\n{\"state\":\"up\"," + tunnel + "}\n{\"state\":\"stopping\"," +
                  tunnel +
                  ",\"by\":\"disconnect\",\"by_uid\":1001}\n"
                  "{\"state\":\"idle\",\"exit\":1}\n");
}

TEST_F(CommandsTest, JsonGivesOneObjectALineForEveryCommand) {
    fake().write_script("h", "out say \"hi\"\\x1b\\x7f\\xc2\\x9b\nexit 0\n");
    auto connect = run_ctl({connect_args("h", {"--json"})}, "s3cret\n");
    ASSERT_TRUE(connect) << connect.error();
    EXPECT_EQ(describe(connect->status), "exit 0") << connect->err;
    EXPECT_EQ(connect->out, "{\"line\":\"say \\\"hi\\\"\\u001b\\u007f\\u009b\"}\n");
    auto disconnect = run_ctl({{"disconnect", "--json"}});
    ASSERT_TRUE(disconnect) << disconnect.error();
    EXPECT_EQ(disconnect->out, "{\"ok\":true}\n");
}

TEST_F(CommandsTest, DisconnectWithoutATunnelSucceedsQuietly) {
    auto disconnect = run_ctl({{"disconnect"}});
    ASSERT_TRUE(disconnect) << disconnect.error();
    EXPECT_EQ(describe(disconnect->status), "exit 0");
    EXPECT_EQ(disconnect->out + disconnect->err, "");
}

TEST_F(CommandsTest, ConnectHandsEveryValueToTheTunnel) {
    fake().write_script("vpn.example.com", "out hello\nexit 3\n");
    auto run = run_ctl(
        {connect_args("vpn.example.com", {"--realm", "staff", "--trusted-cert=" + kDigest})},
        "s3cret\n");
    ASSERT_TRUE(run) << run.error();
    // The tunnel's own exit status is not marlox-ctl's: the stream ended normally.
    EXPECT_EQ(describe(run->status), "exit 0") << run->err;
    EXPECT_EQ(run->out, "hello\n");
    EXPECT_EQ(run->err, "");
    EXPECT_EQ(fake().read("config"),
              "host = vpn.example.com\nport = 443\nusername = alice\n"
              "password = s3cret\ntrusted-cert = " +
                  kDigest + "\n");
    EXPECT_EQ(fake().argv(),
              (std::vector<std::string>{"openfortivpn", "-c", kConfigPath, "--realm", "staff"}));
    EXPECT_EQ(status_reply(), kNotRunning);
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
}

TEST_F(CommandsTest, ConnectWithoutRealmOrCertLeavesThemToTheDaemon) {
    fake().write_script("h", "out up\nexit 0\n");
    auto run = run_ctl({connect_args("h")}, "s3cret\n");
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 0") << run->err;
    EXPECT_EQ(run->out, "up\n");
    EXPECT_EQ(fake().argv().back(), "radius");
    EXPECT_EQ(fake().read("config"),
              "host = h\nport = 443\nusername = alice\npassword = s3cret\ntrusted-cert = \n");
}

struct TicketCase {
    std::string name;
    std::string input;
    std::string password;  // as the configuration file carries it
};

void PrintTo(const TicketCase& c, std::ostream* out) { *out << c.name; }

class TicketTest : public CtlTest, public ::testing::WithParamInterface<TicketCase> {};

TEST_P(TicketTest, IsTheFirstLineOfStandardInput) {
    fake().write_script("h", "out up\nexit 0\n");
    auto run = run_ctl({connect_args("h")}, GetParam().input);
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 0") << run->err;
    const std::string config = fake().read("config").value_or("no config");
    EXPECT_NE(config.find("\npassword = " + GetParam().password + "\n"), std::string::npos)
        << config;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, TicketTest,
    ::testing::Values(TicketCase{"LineFeed", "s3cret\n", "s3cret"},
                      TicketCase{"CarriageReturnLineFeed", "s3cret\r\n", "s3cret"},
                      TicketCase{"NoLineEnd", "s3cret", "s3cret"},
                      TicketCase{"OnlyTheFirstLine", "first\nsecond\n", "first"},
                      TicketCase{"BlanksKept", "pass  word \t1\n", "pass  word \t1"},
                      TicketCase{"QuotesAndBackslashes", "p\"a\\ss€\n", "p\"a\\ss€"}),
    [](const auto& info) { return info.param.name; });

// Whether text is anywhere in the readable memory of process pid. Mappings over 1 GiB are
// left out: only a sanitizer's shadow memory is that large.
bool memory_holds(pid_t pid, std::string_view text) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    const std::string mem_path = "/proc/" + std::to_string(pid) + "/mem";
    const os::UniqueFd mem(::open(mem_path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string line;
    std::string chunk(1 << 20, '\0');
    while (mem.valid() && std::getline(maps, line)) {
        unsigned long start = 0;
        unsigned long end = 0;
        char readable = '-';
        if (std::sscanf(line.c_str(), "%lx-%lx %c", &start, &end, &readable) != 3) continue;
        if (readable != 'r' || end - start > (1UL << 30)) continue;
        // Chunks overlap by the text's length, so text across a boundary is found too.
        for (unsigned long at = start; at < end; at += chunk.size() - text.size()) {
            const ssize_t got = ::pread(mem.get(), chunk.data(), std::min(chunk.size(), end - at),
                                        static_cast<off_t>(at));
            if (got <= 0) break;
            if (std::string_view(chunk.data(), static_cast<std::size_t>(got)).find(text) !=
                std::string_view::npos) {
                return true;
            }
        }
    }
    return false;
}

TEST_F(CommandsTest, TicketIsWipedFromMemoryOnceSent) {
    fake().write_script("h", "out up\nwait-term 20000\n");
    const std::string ticket = "wipe-me-Q7x2";
    auto connect = CtlProcess::start({connect_args("h")});
    ASSERT_TRUE(connect) << connect.error();
    ASSERT_TRUE(connect->write_input(ticket + "\n"));
    connect->close_input();
    ASSERT_TRUE(connect->wait_out("up\n")) << connect->err();
    EXPECT_NE(fake().read("config").value_or("").find("password = " + ticket), std::string::npos);

    EXPECT_TRUE(memory_holds(connect->pid(), "alice"));  // the search does see its memory
    EXPECT_FALSE(memory_holds(connect->pid(), ticket));
}

struct RefusedTicketCase {
    std::string name;
    std::string input;
    std::string message;
};

void PrintTo(const RefusedTicketCase& c, std::ostream* out) { *out << c.name; }

class RefusedTicketTest : public CtlTest,
                          public ::testing::WithParamInterface<RefusedTicketCase> {};

TEST_P(RefusedTicketTest, EndsWithStatusOneBeforeAnyTunnel) {
    auto run = run_ctl({connect_args("h")}, GetParam().input);
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 1");
    EXPECT_EQ(run->err, "marlox-ctl: " + GetParam().message + "\n");
    EXPECT_EQ(run->out, "");
    EXPECT_TRUE(fake().starts().empty());
    EXPECT_EQ(status_reply(), kNotRunning);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RefusedTicketTest,
    ::testing::Values(
        RefusedTicketCase{"Nothing", "",
                          "no ticket on standard input (give the password as its first line)"},
        RefusedTicketCase{"EmptyLine", "\nsecond\n",
                          "no ticket on standard input (give the password as its first line)"},
        RefusedTicketCase{"NotUtf8", "pass\xff\n", "the ticket is not valid UTF-8"},
        RefusedTicketCase{"BeyondOneMebibyte", std::string(1024 * 1024 + 1, 'x'),
                          "the ticket is longer than 1048576 bytes"}),
    [](const auto& info) { return info.param.name; });

TEST_F(CommandsTest, ConnectPrintsEachLineAsItArrives) {
    fake().write_script("h", "ignore-term\nout first\nerr second\nwait-term 20000\nout third\n");
    auto connect = start_connect("h");
    ASSERT_TRUE(connect) << connect.error();
    // Seen while the tunnel still runs, from standard output and standard error alike.
    EXPECT_TRUE(connect->wait_out("first\n")) << connect->out();
    EXPECT_TRUE(connect->wait_out("second\n")) << connect->out();
    EXPECT_TRUE(connect->running());

    auto disconnect = run_ctl({{"disconnect"}});
    ASSERT_TRUE(disconnect) << disconnect.error();
    const auto ended = connect->wait_exit();
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(describe(*ended), "exit 0");
    EXPECT_TRUE(connect->out() == "first\nsecond\nthird\n" ||
                connect->out() == "second\nfirst\nthird\n")
        << connect->out();
}

TEST_F(CommandsTest, FirstLineThatOnlyResemblesAReplyIsOutput) {
    fake().write_script("h", "out {\"error\":\"already connected\"} \nout {\"ok\":true}\nexit 0\n");
    auto run = run_ctl({connect_args("h")}, "s3cret\n");
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 0") << run->err;
    EXPECT_EQ(run->out, "{\"error\":\"already connected\"} \n{\"ok\":true}\n");
}

TEST_F(CommandsTest, ControlCharactersAreShownOnATerminalAndPassedThroughAPipe) {
    // ESC ] 0 ; ... BEL would retitle the terminal, C2 9B is the one-character CSI; the tab,
    // the degree sign (C2 B0) and the e-acute are text.
    fake().write_script(
        "h", "out \\x1b]0;owned\\x07 a\\\\b\\tc\\xc2\\x9b2J\\x7f 20\xc2\xb0 \xc3\xa9\nexit 0\n");
    auto piped = run_ctl({connect_args("h")}, "s3cret\n");
    ASSERT_TRUE(piped) << piped.error();
    EXPECT_EQ(describe(piped->status), "exit 0") << piped->err;
    EXPECT_EQ(piped->out,
              "\x1b]0;owned\x07 a\\b\tc\xc2\x9b"
              "2J\x7f 20\xc2\xb0 \xc3\xa9\n");

    CtlStart how{connect_args("h")};
    how.output = Output::kTerminal;
    auto shown = run_ctl(how, "s3cret\n");
    ASSERT_TRUE(shown) << shown.error();
    EXPECT_EQ(describe(shown->status), "exit 0") << shown->err;
    EXPECT_EQ(shown->out, "\\x1b]0;owned\\x07 a\\\\b\tc\\u009b2J\\x7f 20\xc2\xb0 \xc3\xa9\n");
}

// The limit marlox-ctl documents: connect has no acknowledgement, so a first output line that
// reads exactly like an error reply is taken as that error. The tunnel still ends cleanly,
// because marlox-ctl's exit closes the connection.
TEST_F(CommandsTest, FirstLineReadingExactlyLikeAnErrorIsTakenAsThatError) {
    fake().write_script("h", "out {\"error\":\"already connected\"}\nwait-term 20000\n");
    auto run = run_ctl({connect_args("h")}, "s3cret\n");
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 5");
    EXPECT_TRUE(fake().wait_for("term"));
    EXPECT_TRUE(status_becomes(false));
}

}  // namespace
}  // namespace marlox::ctltest
