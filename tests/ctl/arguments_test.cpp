// marlox-ctl's command line: accepted forms, and one clear usage error for each wrong one.
#include "ctl/arguments.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/param_name.h"

namespace marlox::ctl {
namespace {

std::variant<Invocation, UsageError> parse(std::vector<std::string_view> args) {
    return parse_arguments(args);
}

Invocation parsed_ok(std::vector<std::string_view> args) {
    auto result = parse(std::move(args));
    if (auto* error = std::get_if<UsageError>(&result)) {
        ADD_FAILURE() << "usage error: " << error->message;
        return {};
    }
    return std::get<Invocation>(result);
}

TEST(ArgumentsTest, StatusAndDisconnectStandAlone) {
    EXPECT_EQ(parsed_ok({"status"}).command, Command::kStatus);
    EXPECT_FALSE(parsed_ok({"status"}).json);
    EXPECT_TRUE(parsed_ok({"status", "--json"}).json);
    EXPECT_TRUE(parsed_ok({"--json", "status"}).json);
    EXPECT_TRUE(parsed_ok({"disconnect", "--json"}).json);
    EXPECT_EQ(parsed_ok({"disconnect"}).command, Command::kDisconnect);
}

TEST(ArgumentsTest, ConnectTakesValuesInBothForms) {
    const Invocation spaced =
        parsed_ok({"connect", "--host", "vpn.example.com", "--port", "443", "--username", "alice",
                   "--realm", "", "--trusted-cert", "ab12"});
    EXPECT_EQ(spaced.command, Command::kConnect);
    EXPECT_EQ(spaced.connect.host, "vpn.example.com");
    EXPECT_EQ(spaced.connect.port, "443");
    EXPECT_EQ(spaced.connect.username, "alice");
    EXPECT_EQ(spaced.connect.realm, "");  // given, though empty: sent as such
    EXPECT_EQ(spaced.connect.trusted_cert, "ab12");

    const Invocation joined =
        parsed_ok({"--host=h=1", "--port=8443", "connect", "--username=-bob"});
    EXPECT_EQ(joined.connect.host, "h=1");  // only the first "=" separates
    EXPECT_EQ(joined.connect.port, "8443");
    EXPECT_EQ(joined.connect.username, "-bob");
    EXPECT_FALSE(joined.connect.realm.has_value());
    EXPECT_FALSE(joined.connect.trusted_cert.has_value());
}

TEST(ArgumentsTest, ValueMayLookLikeAnOption) {
    const Invocation got =
        parsed_ok({"connect", "--host", "--port", "--port", "1", "--username", "u"});
    EXPECT_EQ(got.connect.host, "--port");
    EXPECT_EQ(got.connect.port, "1");
}

TEST(ArgumentsTest, HelpAndVersionWinAnywhere) {
    EXPECT_EQ(parsed_ok({"--help"}).command, Command::kHelp);
    EXPECT_EQ(parsed_ok({"connect", "--bogus", "-h"}).command, Command::kHelp);
    EXPECT_EQ(parsed_ok({"status", "--version"}).command, Command::kVersion);
}

struct UsageCase {
    std::vector<std::string_view> args;
    std::string message;
};

std::string joined(const std::vector<std::string_view>& args) {
    std::string line;
    for (const std::string_view arg : args) {
        // Appended, not `" " + std::string(arg)`: g++ 12 at -O3 warns falsely (-Wrestrict) there.
        if (!line.empty()) line += ' ';
        line += arg;
    }
    return line;
}

void PrintTo(const UsageCase& c, std::ostream* out) { *out << "marlox-ctl " << joined(c.args); }

class UsageErrorTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrorTest, IsRefusedWithItsMessage) {
    auto result = parse(GetParam().args);
    ASSERT_TRUE(std::holds_alternative<UsageError>(result));
    EXPECT_EQ(std::get<UsageError>(result).message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsageErrorTest,
    ::testing::Values(
        UsageCase{{}, "no command given"}, UsageCase{{"--json"}, "no command given"},
        UsageCase{{"Status"}, "unknown command 'Status'"},
        UsageCase{{"status", "disconnect"}, "unexpected argument 'disconnect'"},
        UsageCase{{"status", "--verbose"}, "unknown option --verbose"},
        UsageCase{{"status", "-j"}, "unknown option -j"},
        UsageCase{{"disconnect", "--host", "h"}, "--host does not apply to disconnect"},
        UsageCase{{"status", "--json=yes"}, "--json takes no value"},
        UsageCase{{"status", "--host", "h"}, "--host does not apply to status"},
        UsageCase{{"connect", "--port", "1", "--username", "u"}, "connect needs --host"},
        UsageCase{{"connect", "--host", "h", "--username", "u"}, "connect needs --port"},
        UsageCase{{"connect", "--host", "h", "--port", "1"}, "connect needs --username"},
        UsageCase{{"connect", "--host", "h", "--host", "i"}, "--host given twice"},
        UsageCase{{"connect", "--host"}, "--host needs a value"},
        UsageCase{{"connect", "--host", "h\xff", "--port", "1", "--username", "u"},
                  "the value of --host is not valid UTF-8"},
        UsageCase{{"connect", "--ticket", "secret"},
                  "the ticket is never an argument (every user can see arguments in the "
                  "process list): give it on standard input"},
        UsageCase{{"connect", "--password=secret"},
                  "the ticket is never an argument (every user can see arguments in the "
                  "process list): give it on standard input"}),
    [](const auto& info) { return support::param_name(info.index, joined(info.param.args)); });

}  // namespace
}  // namespace marlox::ctl
