// Tests of the admission rule and of the peer check on real connections.
#include "control/peer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string_view>

#include "../support/unit_io.h"

namespace marlox::control {
namespace {

using namespace std::string_view_literals;

TEST(PeerTest, ParseUserIdAcceptsOnlyPlainDecimalDigits) {
    const struct {
        std::string_view text;
        std::optional<std::uint32_t> uid;
    } cases[] = {
        {"1001"sv, 1001},
        {"+1001"sv, 1001},
        {"0"sv, 0},
        {"+0"sv, 0},
        {"0001001"sv, 1001},
        {"4294967295"sv, 4294967295u},
        {""sv, std::nullopt},
        {"+"sv, std::nullopt},
        {"++1"sv, std::nullopt},
        {"+-1"sv, std::nullopt},
        {"-1"sv, std::nullopt},
        {"-0"sv, std::nullopt},
        {"4294967296"sv, std::nullopt},
        {"42949672950"sv, std::nullopt},
        {"18446744073709551617"sv, std::nullopt},  // wraps a 64-bit accumulator to 1
        {" 1001"sv, std::nullopt},
        {"1001 "sv, std::nullopt},
        {"10 01"sv, std::nullopt},
        {"1001\n"sv, std::nullopt},
        {"1001\0"sv, std::nullopt},
        {"1e3"sv, std::nullopt},
        {"0x10"sv, std::nullopt},
        {"\xFF"sv, std::nullopt},
        {"1\xC3"sv, std::nullopt},
        {"\xEF\xBC\x91"sv, std::nullopt},  // fullwidth digit one
        {"\xD9\xA1"sv, std::nullopt},      // Arabic-Indic digit one
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_user_id(c.text), c.uid) << testing::PrintToString(std::string(c.text));
    }
}

TEST(PeerTest, AdmissionByUidAndEnvironmentValue) {
    constexpr uid_t kUids[] = {0, 1, 999, 1000, 1001, 4294967294u};
    constexpr bool kDefault[] = {true, false, false, true, true, true};
    const struct {
        const char* env;
        bool admitted[std::size(kUids)];
    } cases[] = {
        {"1001", {true, false, false, false, true, false}},
        {"+1001", {true, false, false, false, true, false}},
        {"0", {true, false, false, false, false, false}},
        {"4294967294", {true, false, false, false, false, true}},
    };
    // Unset, and every invalid value, fall back to the default rule.
    for (const char* env :
         {static_cast<const char*>(nullptr), "", "-1", "4294967296", " 1001", "1001 ",
          "\xFF"
          "1001",
          "abc"}) {
        for (std::size_t i = 0; i < std::size(kUids); ++i) {
            EXPECT_EQ(is_admitted(kUids[i], env), kDefault[i])
                << "env " << (env ? env : "unset") << " uid " << kUids[i];
        }
    }
    for (const auto& c : cases) {
        for (std::size_t i = 0; i < std::size(kUids); ++i) {
            EXPECT_EQ(is_admitted(kUids[i], c.env), c.admitted[i])
                << "env " << c.env << " uid " << kUids[i];
        }
    }
}

// Sets MARLOX_UID for one test and restores the previous state.
class ScopedUidEnv {
public:
    explicit ScopedUidEnv(const char* value) {
        if (const char* old = std::getenv("MARLOX_UID")) old_ = old;
        if (value) {
            ::setenv("MARLOX_UID", value, 1);
        } else {
            ::unsetenv("MARLOX_UID");
        }
    }
    ~ScopedUidEnv() {
        if (old_) {
            ::setenv("MARLOX_UID", old_->c_str(), 1);
        } else {
            ::unsetenv("MARLOX_UID");
        }
    }

private:
    std::optional<std::string> old_;
};

TEST(PeerTest, AdmitPeerUsesTheConnectingProcessUid) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to connect as other users";
    // gid differs from uid so that reading the wrong credential field shows.
    const struct {
        const char* env;
        uid_t uid;
        gid_t gid;
        bool admitted;
    } cases[] = {
        {nullptr, 999, 1000, false}, {nullptr, 1000, 999, true}, {"1001", 1000, 1001, false},
        {"1001", 1001, 1000, true},  {"+1001", 1001, 5, true},   {" 1001", 999, 1001, false},
    };
    for (const auto& c : cases) {
        const ScopedUidEnv env(c.env);
        const test::Connection conn = test::connect_as(c.uid, c.gid);
        ASSERT_TRUE(conn.server.valid());
        EXPECT_EQ(admit_peer(conn.server.get()), c.admitted) << c.uid;
    }
}

TEST(PeerTest, AdmitPeerAdmitsRootWhateverTheEnvironment) {
    const test::SocketPair pair = test::socket_pair();
    ASSERT_TRUE(pair.a.valid());
    for (const char* env : {static_cast<const char*>(nullptr), "1001", "0", "garbage"}) {
        const ScopedUidEnv scoped(env);
        EXPECT_TRUE(admit_peer(pair.a.get()));
    }
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
