// The configuration file through the real daemon: refused values, planted links and files.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

using nlohmann::json;

// Every member that becomes a line of the file, by its request name, and values with every
// character that would start a line of its own.
const std::string kMembers[] = {"host", "port", "username", "ticket", "trusted_cert"};
const std::pair<std::string, std::string> kLineBreaks[] = {
    {"LineFeed", "x\npassword = stolen"},
    {"CarriageReturn", "x\rpassword = stolen"},
    {"Nul", std::string("x\0password = stolen", 19)}};
// Tickets that openfortivpn would trim into another password.
const std::pair<std::string, std::string> kTrimmable[] = {{"LeadingSpace", " pw"},
                                                          {"TrailingSpace", "pw "}};

class InvalidFieldTest : public TunnelTest,
                         public ::testing::WithParamInterface<
                             std::tuple<std::string, std::pair<std::string, std::string>>> {};

TEST_P(InvalidFieldTest, ValueOpenfortivpnWouldMisreadIsRefusedBeforeAnythingHappens) {
    const auto& [member, value] = GetParam();
    json members = {
        {"host", "h"}, {"port", "443"}, {"username", "u"}, {"ticket", "t"}, {"trusted_cert", "c"}};
    members[member] = value.second;

    auto client = send_connect(members);
    ASSERT_TRUE(client) << client.error();
    const Received reply = client->read_to_end();
    EXPECT_EQ(reply.bytes, "{\"error\":\"invalid field: " + member + "\"}\n");
    EXPECT_EQ(reply.end, StreamEnd::kEof);
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    EXPECT_FALSE(fake().has("starts"));
    EXPECT_EQ(status(), kNotRunning);
}

std::string name_case(const ::testing::TestParamInfo<InvalidFieldTest::ParamType>& info) {
    return std::get<0>(info.param) + "_" + std::get<1>(info.param).first;
}

INSTANTIATE_TEST_SUITE_P(EveryMemberAndBreak, InvalidFieldTest,
                         ::testing::Combine(::testing::ValuesIn(kMembers),
                                            ::testing::ValuesIn(kLineBreaks)),
                         name_case);
INSTANTIATE_TEST_SUITE_P(TicketToBeTrimmed, InvalidFieldTest,
                         ::testing::Combine(::testing::Values("ticket"),
                                            ::testing::ValuesIn(kTrimmable)),
                         name_case);
// One byte more than openfortivpn keeps, which it would cut silently.
INSTANTIATE_TEST_SUITE_P(
    LongerThanOpenfortivpnKeeps, InvalidFieldTest,
    ::testing::Values(std::make_tuple("host", std::make_pair("Bytes254", std::string(254, 'h'))),
                      std::make_tuple("username", std::make_pair("Bytes65", std::string(65, 'u'))),
                      std::make_tuple("ticket", std::make_pair("Bytes257", std::string(257, 't'))),
                      std::make_tuple("realm", std::make_pair("Bytes64", std::string(64, 'r')))),
    name_case);

class PlantedConfigTest : public TunnelTest {};

TEST_F(PlantedConfigTest, SymbolicLinkAtTheConfigPathIsNeverFollowed) {
    const std::string target = "/run/planted-target";
    std::ofstream(target) << "untouched";
    std::filesystem::create_directories(kRuntimeDir);
    std::filesystem::create_symlink(target, kConfigPath);

    auto client = start_tunnel({{"host", "h"}, {"ticket", "secret"}});
    ASSERT_TRUE(client) << client.error();
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "untouched");
    EXPECT_FALSE(std::filesystem::is_symlink(kConfigPath));
    EXPECT_EQ(fake().read("config-mode"), "600");
    EXPECT_NE(fake().read("config").value_or("").find("password = secret\n"), std::string::npos);
}

TEST_F(PlantedConfigTest, ExistingWiderFileIsReplacedByAPrivateOne) {
    std::filesystem::create_directories(kRuntimeDir);
    std::ofstream(kConfigPath) << "host = old\nport = 1\nusername = old\npassword = old\n"
                                  "trusted-cert = old\nextra = line that must not survive\n";
    ASSERT_EQ(::chmod(kConfigPath.c_str(), 0644), 0);

    auto client = start_tunnel({{"host", "h"}});
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(fake().read("config-mode"), "600");
    EXPECT_EQ(fake().read("config"),
              "host = h\nport = \nusername = \npassword = \ntrusted-cert = \n");
}

}  // namespace
}  // namespace marlox::support
