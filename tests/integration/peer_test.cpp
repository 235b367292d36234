// Who the real daemon serves, by MARLOX_UID, for clients running as several users.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "fault_probe.h"
#include "support/client.h"
#include "support/daemon.h"
#include "support/integration_test.h"

namespace marlox::support {
namespace {

constexpr std::string_view kUnauthorized = "{\"error\":\"unauthorized\"}\n";
constexpr std::string_view kNotRunning = "{\"running\":false}\n";
// 65534 is nobody, a service account numbered like a login user.
constexpr uid_t kClientUids[] = {0, 999, 1000, 1001, 60000, 65534};

struct AdmissionCase {
    std::string name;
    std::optional<std::string> marlox_uid;  // nullopt: unset
    std::set<uid_t> admitted;               // among kClientUids
    bool reported = false;                  // start-up says the value is no user id
};

// Names the case in failure messages instead of a dump of its bytes.
void PrintTo(const AdmissionCase& c, std::ostream* out) { *out << c.name; }

const std::set<uid_t> kDefaultRule = {0, 1000, 1001, 60000};
const std::string kInvalidUidLine =
    "[marlox-helper] MARLOX_UID is not a valid user id; the default rule applies\n";
const std::string kStartLine = "[marlox-helper] listening on /run/marlox/helper.sock\n";

class AdmissionTest : public IntegrationTest,
                      public ::testing::WithParamInterface<AdmissionCase> {};

TEST_P(AdmissionTest, ServesExactlyTheAdmittedUsers) {
    DaemonOptions options;
    options.marlox_uid = GetParam().marlox_uid;
    auto daemon = Daemon::start(options);
    ASSERT_TRUE(daemon) << daemon.error();
    EXPECT_EQ(daemon->stderr_text(), (GetParam().reported ? kInvalidUidLine : "") + kStartLine);

    for (const uid_t uid : kClientUids) {
        auto reply = exchange_as(uid, "{\"cmd\":\"status\"}\n");
        ASSERT_TRUE(reply) << "uid " << uid << ": " << reply.error();
        if (GetParam().admitted.contains(uid)) {
            EXPECT_EQ(reply->bytes, kNotRunning) << "uid " << uid;
            EXPECT_EQ(reply->end, StreamEnd::kEof) << "uid " << uid;
        } else {
            // The request is never read, so the close may come as a reset after the reply.
            EXPECT_EQ(reply->bytes, kUnauthorized) << "uid " << uid;
            EXPECT_NE(reply->end, StreamEnd::kOpen) << "uid " << uid;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    MarloxUid, AdmissionTest,
    ::testing::Values(AdmissionCase{"Unset", std::nullopt, kDefaultRule},
                      AdmissionCase{"OneUser", "1001", {0, 1001}},
                      AdmissionCase{"OneUserWithPlus", "+1001", {0, 1001}},
                      AdmissionCase{"OtherUser", "1000", {0, 1000}},
                      AdmissionCase{"Administrator", "0", {0}},
                      AdmissionCase{"LargestUid", "4294967295", {0}},
                      AdmissionCase{"Empty", "", kDefaultRule},
                      AdmissionCase{"Negative", "-1", kDefaultRule, true},
                      AdmissionCase{"BeyondThirtyTwoBits", "4294967296", kDefaultRule, true},
                      AdmissionCase{"SpaceBefore", " 1001", kDefaultRule, true},
                      AdmissionCase{"SpaceAfter", "1001 ", kDefaultRule, true},
                      AdmissionCase{"TwoPlusSigns", "++1001", kDefaultRule, true},
                      AdmissionCase{"NotUtf8", "1001\xff", kDefaultRule, true},
                      AdmissionCase{"UserName", "alice", kDefaultRule, true},
                      AdmissionCase{"Hexadecimal", "0x3e8", kDefaultRule, true},
                      AdmissionCase{"List", "1000,1001", kDefaultRule, true}),
    [](const ::testing::TestParamInfo<AdmissionCase>& info) { return info.param.name; });

class ConnectionCapTest : public DaemonTest {};

// The daemon's threads waiting in a receive on a connection: each of them has admitted its
// peer and counted the connection before it reads the request.
std::size_t threads_reading(pid_t pid) {
    std::error_code error;
    std::size_t reading = 0;
    for (std::filesystem::directory_iterator it(proc_path(pid, "task"), error), end;
         !error && it != end; it.increment(error)) {
        reading += read_proc_file(it->path() / "wchan") == "unix_stream_read_generic";
    }
    return reading;
}

TEST_F(ConnectionCapTest, SixtyFifthConnectionOfOneUserIsRefusedWhileOthersAreServed) {
    constexpr std::string_view kStatus = "{\"cmd\":\"status\"}\n";
    {
        auto held = HeldConnections::open_as(1000, 64);
        ASSERT_TRUE(held) << held.error();
        const Deadline deadline(kDefaultTimeout);
        while (threads_reading(daemon().pid()) < 64 && !deadline.expired()) {
            std::this_thread::sleep_for(milliseconds(5));
        }

        auto refused = exchange_as(1000, kStatus);
        ASSERT_TRUE(refused) << refused.error();
        EXPECT_EQ(refused->bytes, "{\"error\":\"too many connections\"}\n");
        EXPECT_NE(refused->end, StreamEnd::kOpen);
        for (const uid_t uid : {0u, 1001u}) {
            auto served = exchange_as(uid, kStatus);
            ASSERT_TRUE(served) << served.error();
            EXPECT_EQ(served->bytes, kNotRunning) << "uid " << uid;
        }
    }
    // Once the user's connections have closed, the user is served again.
    const Deadline deadline(kDefaultTimeout);
    std::string reply;
    while (reply != kNotRunning && !deadline.expired()) {
        auto again = exchange_as(1000, kStatus);
        ASSERT_TRUE(again) << again.error();
        reply = again->bytes;
    }
    EXPECT_EQ(reply, kNotRunning);
}

}  // namespace
}  // namespace marlox::support
