// Every way a request fails, from the real daemon's replies to no daemon at all: one line on
// stderr and its own exit status.
#include <sys/socket.h>

#include <filesystem>
#include <string>

#include "ctl_fixture.h"
#include "os/io.h"
#include "os/socket.h"
#include "os/thread.h"

namespace marlox::ctltest {
namespace {

const std::string kSocketPath = "/run/marlox/helper.sock";
const std::string kConfigPath = "/run/marlox/of.conf";

struct CommandCase {
    std::string name;
    std::vector<std::string> args;
    std::string input;
};

void PrintTo(const CommandCase& c, std::ostream* out) { *out << c.name; }

const std::vector<CommandCase> kEveryCommand = {
    {"Status", {"status"}, ""},
    {"StatusJson", {"status", "--json"}, ""},
    {"Disconnect", {"disconnect"}, ""},
    {"Connect", {"connect", "--host", "h", "--port", "443", "--username", "alice"}, "s3cret\n"},
};

std::string case_name(const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; }

class UnauthorizedTest : public CtlTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(UnauthorizedTest, SystemAccountGetsStatusFour) {
    CtlStart how{GetParam().args};
    how.uid = 999;  // below 1000: refused by the default rule
    auto run = run_ctl(how, GetParam().input);
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 4");
    EXPECT_EQ(run->err,
              "marlox-ctl: unauthorized: the daemon does not serve this user (see MARLOX_UID in "
              "marlox-helper(8))\n");
    EXPECT_EQ(run->out, "");
    EXPECT_TRUE(fake().starts().empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, UnauthorizedTest, ::testing::ValuesIn(kEveryCommand), case_name);

TEST_F(CtlTest, ConnectWhileATunnelRunsGetsStatusFiveAndLeavesItAlone) {
    auto first = start_connect("first");
    ASSERT_TRUE(first) << first.error();

    auto second = run_ctl({connect_args("second")}, "s3cret\n");
    ASSERT_TRUE(second) << second.error();
    EXPECT_EQ(describe(second->status), "exit 5");
    EXPECT_EQ(second->err,
              "marlox-ctl: already connected: a tunnel is running (marlox-ctl disconnect ends "
              "it)\n");
    EXPECT_EQ(fake().starts().size(), 1u);
    EXPECT_FALSE(fake().has("term"));
    EXPECT_TRUE(first->running());
    EXPECT_EQ(status_reply(), kRunning);
}

struct InvalidFieldCase {
    std::string name;
    std::vector<std::string> extra;  // replacing or adding arguments
    std::string ticket_input;
    std::string field;
    std::string hint =
        " (a value must not hold a line feed, carriage return or NUL, nor be longer than "
        "openfortivpn keeps)";
};

const std::string kTicketHint =
    " (it must not hold a line feed, carriage return or NUL, begin or end with a space, tab, "
    "vertical tab or form feed, nor be longer than openfortivpn keeps)";

void PrintTo(const InvalidFieldCase& c, std::ostream* out) { *out << c.name; }

class InvalidFieldTest : public CtlTest, public ::testing::WithParamInterface<InvalidFieldCase> {};

TEST_P(InvalidFieldTest, GetsStatusSixNamingTheField) {
    auto run = run_ctl({connect_args("h", GetParam().extra)}, GetParam().ticket_input);
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 6");
    EXPECT_EQ(run->err, "marlox-ctl: invalid field: " + GetParam().field + GetParam().hint + "\n");
    EXPECT_TRUE(fake().starts().empty());
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
}

// The values reach the daemon as JSON escapes; it is the daemon that refuses them.
INSTANTIATE_TEST_SUITE_P(
    Fields, InvalidFieldTest,
    ::testing::Values(
        InvalidFieldCase{"TicketWithCarriageReturn", {}, "pass\rword\n", "ticket", kTicketHint},
        InvalidFieldCase{
            "TicketWithNul", {}, std::string("pass\0word\n", 10), "ticket", kTicketHint},
        InvalidFieldCase{"TicketEndingInSpace", {}, "password \n", "ticket", kTicketHint},
        InvalidFieldCase{
            "CertWithLineFeed", {"--trusted-cert", "ab\ncd"}, "s3cret\n", "trusted_cert"}),
    [](const auto& info) { return info.param.name; });

TEST_F(CtlTest, LineFeedInHostPortOrUserGetsStatusSix) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"connect", "--host", "h\nx", "--port", "1", "--username", "u"}, "host"},
        {{"connect", "--host", "h", "--port", "1\r", "--username", "u"}, "port"},
        {{"connect", "--host", "h", "--port", "1", "--username", "u\nsecond = x"}, "username"},
    };
    for (const auto& [args, field] : cases) {
        auto run = run_ctl({args}, "s3cret\n");
        ASSERT_TRUE(run) << run.error();
        EXPECT_EQ(describe(run->status), "exit 6") << field;
        EXPECT_EQ(run->err, "marlox-ctl: invalid field: " + field +
                                " (a value must not hold a line feed, carriage return or NUL, "
                                "nor be longer than openfortivpn keeps)\n");
    }
    EXPECT_TRUE(fake().starts().empty());
}

TEST_F(CtlTest, TicketBeyondTheDaemonsLimitGetsStatusTen) {
    auto run = run_ctl({connect_args("h")}, std::string(70000, 'x') + "\n");
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 10");
    EXPECT_EQ(run->err,
              "marlox-ctl: request too long: the daemon refused a request this long (is the "
              "ticket right?)\n");
    EXPECT_TRUE(fake().starts().empty());
}

TEST_F(CtlTest, UnwritableConfigurationGetsStatusEight) {
    // A non-empty directory where the file goes can be neither removed nor replaced.
    std::filesystem::create_directories(kConfigPath + "/in-the-way");
    auto run = run_ctl({connect_args("h")}, "s3cret\n");
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 8");
    EXPECT_EQ(run->err,
              "marlox-ctl: write conf failed: the daemon could not write /run/marlox/of.conf\n");
    EXPECT_TRUE(fake().starts().empty());
    EXPECT_EQ(status_reply(), kNotRunning);
    std::filesystem::remove_all(kConfigPath);
}

TEST_F(CtlTest, ClosedStandardOutputGetsStatusOneNotSigpipe) {
    CtlStart how{{"status"}};
    how.output = Output::kUnread;
    auto run = run_ctl(how);
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 1");
    EXPECT_EQ(run->err, "marlox-ctl: cannot write output: Broken pipe (os error 32)\n");
}

TEST_F(CtlTest, StandardOutputClosedAtStartGetsStatusOne) {
    CtlStart how{{"status"}};
    how.output = Output::kClosed;
    auto run = run_ctl(how);
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 1");
    EXPECT_EQ(run->err, "marlox-ctl: cannot write output: Bad file descriptor (os error 9)\n");
}

class NoOpenfortivpnTest : public CtlTest {
protected:
    support::DaemonOptions daemon_options() const override {
        support::DaemonOptions options;
        options.path_variable = "/nonexistent";
        return options;
    }
};

TEST_F(NoOpenfortivpnTest, SpawnErrorGetsStatusSevenWithTheSystemsWords) {
    auto run = run_ctl({connect_args("h")}, "s3cret\n");
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), "exit 7");
    EXPECT_EQ(run->err,
              "marlox-ctl: the daemon could not start openfortivpn: No such file or directory "
              "(os error 2)\n");
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
}

class UnreachableTest : public CtlTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(UnreachableTest, NoDaemonGetsStatusThreeWithoutAskingForTheTicket) {
    daemon().kill();
    // Its socket file is left behind: nobody listens there any more.
    auto refused = run_ctl({GetParam().args});
    ASSERT_TRUE(refused) << refused.error();
    EXPECT_EQ(describe(refused->status), "exit 3");
    EXPECT_EQ(refused->err,
              "marlox-ctl: cannot reach /run/marlox/helper.sock: Connection refused (os error "
              "111); is marlox-helper running?\n");

    std::filesystem::remove(kSocketPath);
    auto missing = run_ctl({GetParam().args});
    ASSERT_TRUE(missing) << missing.error();
    EXPECT_EQ(describe(missing->status), "exit 3");
    EXPECT_EQ(missing->err,
              "marlox-ctl: cannot reach /run/marlox/helper.sock: No such file or directory (os "
              "error 2); is marlox-helper running?\n");
    EXPECT_EQ(missing->out, "");
}

INSTANTIATE_TEST_SUITE_P(Commands, UnreachableTest, ::testing::ValuesIn(kEveryCommand), case_name);

// Replies the real daemon never gives marlox-ctl's well-formed requests ("bad json",
// "unknown cmd", replies to another command, a cut-off line) come from a stand-in listening
// on the daemon's path, which also records the request it got.
struct StandInCase {
    std::string name;
    std::vector<std::string> args;
    std::string request;  // expected on the wire
    std::string reply;    // sent back before closing
    std::string status;
    std::string message;
    bool reads_request = true;  // false: closes at once, possibly before marlox-ctl sends
};

void PrintTo(const StandInCase& c, std::ostream* out) { *out << c.name; }

class StandInTest : public support::IntegrationTest,
                    public ::testing::WithParamInterface<StandInCase> {};

TEST_P(StandInTest, MapsTheReplyToItsStatus) {
    std::filesystem::create_directories("/run/marlox");
    std::filesystem::remove(kSocketPath);
    auto listener = os::listen_unix(kSocketPath);
    ASSERT_TRUE(listener);
    std::string request;
    auto server =
        os::JoinableThread::start([&request, fd = listener->get(), reply = GetParam().reply,
                                   reads = GetParam().reads_request]() noexcept {
            auto conn = os::accept_connection(fd);
            if (!conn) return;
            char buffer[4096];
            while (reads && request.find('\n') == std::string::npos) {
                auto got = os::recv_some(conn->get(), buffer);
                if (!got || *got == 0) break;
                request.append(buffer, *got);
            }
            (void)os::send_all(conn->get(), reply);
        });
    ASSERT_TRUE(server);

    auto run = run_ctl({GetParam().args}, "s3cret\n");
    // Unblocks the stand-in if marlox-ctl never connected.
    (void)::shutdown(listener->get(), SHUT_RDWR);
    server->join();
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(describe(run->status), GetParam().status);
    EXPECT_EQ(run->err,
              GetParam().message.empty() ? "" : "marlox-ctl: " + GetParam().message + "\n");
    EXPECT_EQ(request, GetParam().request);
    if (GetParam().status == "exit 0") {
        EXPECT_EQ(run->out, GetParam().reply);
    }
}

const std::string kConnectRequest =
    R"({"cmd":"connect","host":"h","port":"443","ticket":"s3cret","username":"alice"})"
    "\n";

INSTANTIATE_TEST_SUITE_P(
    Replies, StandInTest,
    ::testing::Values(
        StandInCase{"BadJsonToStatus",
                    {"status"},
                    "{\"cmd\":\"status\"}\n",
                    "{\"error\":\"bad json\"}\n",
                    "exit 9",
                    "bad json: the daemon could not parse the request"},
        StandInCase{"BadJsonToConnect", kEveryCommand[3].args, kConnectRequest,
                    "{\"error\":\"bad json\"}\n", "exit 9",
                    "bad json: the daemon could not parse the request"},
        StandInCase{"UnknownCmdToDisconnect",
                    {"disconnect"},
                    "{\"cmd\":\"disconnect\"}\n",
                    "{\"error\":\"unknown cmd\"}\n",
                    "exit 11",
                    "unknown cmd: the daemon does not know this command (an older version?)"},
        StandInCase{"TooManyConnectionsToStatus",
                    {"status"},
                    "{\"cmd\":\"status\"}\n",
                    "{\"error\":\"too many connections\"}\n",
                    "exit 13",
                    "too many connections: this user already holds 64 connections to the daemon "
                    "(other programs of the same user connected to it?)"},
        StandInCase{"OkToStatus",
                    {"status"},
                    "{\"cmd\":\"status\"}\n",
                    "{\"ok\":true}\n",
                    "exit 12",
                    "unexpected reply from the daemon: {\"ok\":true}"},
        StandInCase{"RunningToDisconnect",
                    {"disconnect"},
                    "{\"cmd\":\"disconnect\"}\n",
                    "{\"running\":true}\n",
                    "exit 12",
                    "unexpected reply from the daemon: {\"running\":true}"},
        StandInCase{"CutOffStatus",
                    {"status"},
                    "{\"cmd\":\"status\"}\n",
                    "{\"running\":tr",
                    "exit 12",
                    "unexpected reply from the daemon: {\"running\":tr"},
        StandInCase{"NothingToStatus",
                    {"status"},
                    "{\"cmd\":\"status\"}\n",
                    "",
                    "exit 12",
                    "the daemon closed the connection without a reply"},
        StandInCase{"NothingToConnect", kEveryCommand[3].args, kConnectRequest, "", "exit 12",
                    "the daemon closed the connection without a reply"},
        StandInCase{"ClosedAtOnceOnConnect", kEveryCommand[3].args, "", "", "exit 12",
                    "the daemon closed the connection without a reply", false},
        StandInCase{"SpawnErrorWithOddText", kEveryCommand[3].args, kConnectRequest,
                    "{\"error\":\"spawn: nul byte found in provided data\"}\n", "exit 7",
                    "the daemon could not start openfortivpn: nul byte found in provided data"},
        StandInCase{"TunnelOutputThenEnd", kEveryCommand[3].args, kConnectRequest,
                    "line one\nlast line without a line feed", "exit 0", ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace marlox::ctltest
