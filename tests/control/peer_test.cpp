// Tests of the admission rule and of the peer check on real connections.
#include "control/peer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "../support/unit_io.h"

namespace marlox::control {
namespace {

using namespace std::string_view_literals;

TEST(PeerTest, ParseUserIdAcceptsOnlyPlainDecimalDigits) {
    const std::pair<std::string_view, std::uint32_t> valid[] = {
        {"1001", 1001}, {"+1001", 1001},   {"0", 0},
        {"+0", 0},      {"0001001", 1001}, {"4294967295", 4294967295u}};
    for (const auto& [text, uid] : valid) EXPECT_EQ(parse_user_id(text), uid) << text;
    // "18446744073709551617" would wrap a 64-bit accumulator to 1; the last two are a fullwidth
    // and an Arabic-Indic digit one.
    const std::string_view invalid[] = {"",           "+",           "++1",
                                        "+-1",        "-1",          "-0",
                                        "4294967296", "42949672950", "18446744073709551617",
                                        " 1001",      "1001 ",       "10 01",
                                        "1001\n",     "1e3",         "0x10",
                                        "\xFF",       "1\xC3",       "\xEF\xBC\x91",
                                        "\xD9\xA1"};
    for (const auto text : invalid) {
        EXPECT_EQ(parse_user_id(text), std::nullopt) << testing::PrintToString(std::string(text));
    }
}

TEST(PeerTest, AdmissionByUidAndEnvironmentValue) {
    constexpr uid_t kUids[] = {0,     1,     999,   1000,        1001,        61183,      61184,
                               65519, 65520, 65534, 4294967293u, 4294967294u, 4294967295u};
    // No system account, nor nobody, systemd's dynamic users 61184-65519 or the two "no uid"
    // values.
    const std::set<uid_t> default_rule = {0, 1000, 1001, 61183, 65520, 4294967293u};
    // A named uid is admitted whatever it is, service accounts included.
    const std::pair<const char*, std::set<uid_t>> cases[] = {
        {"1001", {0, 1001}},
        {"+1001", {0, 1001}},
        {"0", {0}},
        {"65534", {0, 65534}},
        {"4294967294", {0, 4294967294u}},
        // Unset, and every invalid value, fall back to the default rule.
        {nullptr, default_rule},
        {"", default_rule},
        {"-1", default_rule},
        {"4294967296", default_rule},
        {" 1001", default_rule},
        {"1001 ", default_rule},
        {"\xFF"
         "1001",
         default_rule},
        {"abc", default_rule}};
    for (const auto& [env, admitted] : cases) {
        for (const uid_t uid : kUids) {
            EXPECT_EQ(is_admitted(uid, env), admitted.contains(uid))
                << "env " << (env ? env : "unset") << " uid " << uid;
        }
    }
}

// The tests below set MARLOX_UID (nullptr: unset) and unset it again at their end.
void set_uid_env(const char* value) {
    if (value != nullptr) {
        ::setenv("MARLOX_UID", value, 1);
    } else {
        ::unsetenv("MARLOX_UID");
    }
}

TEST(PeerTest, AdmitPeerUsesTheConnectingProcessUid) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as other users";
    // gid differs from uid so that reading the wrong credential field shows. Root is always
    // admitted.
    const struct {
        const char* env;
        uid_t uid;
        gid_t gid;
        bool admitted;
    } cases[] = {
        {nullptr, 999, 1000, false}, {nullptr, 1000, 999, true}, {"1001", 1000, 1001, false},
        {"1001", 1001, 1000, true},  {"+1001", 1001, 5, true},   {" 1001", 999, 1001, false},
        {"1001", 0, 5, true},        {"0", 0, 5, true},          {"x", 0, 5, true}};
    for (const auto& c : cases) {
        set_uid_env(c.env);
        const test::Connection conn = test::connect_as(c.uid, c.gid);
        ASSERT_TRUE(conn.server.valid());
        const auto admitted = admit_peer(conn.server.get());
        EXPECT_EQ(admitted.has_value(), c.admitted) << c.uid;
        if (admitted) {
            EXPECT_EQ(*admitted, c.uid);
        }
    }
    set_uid_env(nullptr);
}

TEST(PeerTest, AdmitPeerRefusesWhenCredentialsAreUnavailable) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const os::UniqueFd read_end(fds[0]);
    const os::UniqueFd write_end(fds[1]);
    EXPECT_FALSE(admit_peer(read_end.get()));  // not a socket
    EXPECT_FALSE(admit_peer(-1));
}

}  // namespace
}  // namespace marlox::control
