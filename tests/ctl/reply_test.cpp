// Reply classification: every reply of the daemon by exact form, and near misses as output.
#include "ctl/reply.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>

#include "ctl/failure.h"
#include "support/param_name.h"

namespace marlox::ctl {
namespace {

struct ReplyCase {
    std::string line;
    ReplyKind kind;
    std::string detail;
    ExitStatus status;  // for error replies: the exit status it maps to
};

void PrintTo(const ReplyCase& c, std::ostream* out) { *out << ::testing::PrintToString(c.line); }

std::string case_name(const ::testing::TestParamInfo<ReplyCase>& info) {
    return support::param_name(info.index, info.param.line);
}

class ClassifyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ClassifyTest, RecognisesTheReplyAndItsExitStatus) {
    const Reply reply = classify_reply(GetParam().line);
    EXPECT_EQ(reply.kind, GetParam().kind);
    EXPECT_EQ(reply.detail, GetParam().detail);
    if (is_error(reply.kind)) {
        EXPECT_EQ(failure_for(reply).status, GetParam().status);
    } else {
        EXPECT_EQ(GetParam().status, ExitStatus::kOk);
    }
}

INSTANTIATE_TEST_SUITE_P(
    DaemonReplies, ClassifyTest,
    ::testing::Values(
        ReplyCase{R"({"error":"unauthorized"})", ReplyKind::kUnauthorized, "",
                  ExitStatus::kUnauthorized},
        ReplyCase{R"({"error":"too many connections"})", ReplyKind::kTooManyConnections, "",
                  ExitStatus::kTooManyConnections},
        ReplyCase{R"({"error":"bad json"})", ReplyKind::kBadJson, "", ExitStatus::kBadJson},
        ReplyCase{R"({"error":"request too long"})", ReplyKind::kRequestTooLong, "",
                  ExitStatus::kRequestTooLong},
        ReplyCase{R"({"error":"unknown cmd"})", ReplyKind::kUnknownCmd, "",
                  ExitStatus::kUnknownCmd},
        ReplyCase{R"({"error":"already connected"})", ReplyKind::kAlreadyConnected, "",
                  ExitStatus::kAlreadyConnected},
        ReplyCase{R"({"error":"write conf failed"})", ReplyKind::kWriteConfFailed, "",
                  ExitStatus::kWriteConfFailed},
        ReplyCase{R"({"error":"invalid field: host"})", ReplyKind::kInvalidField, "host",
                  ExitStatus::kInvalidField},
        ReplyCase{R"({"error":"invalid field: trusted_cert"})", ReplyKind::kInvalidField,
                  "trusted_cert", ExitStatus::kInvalidField},
        ReplyCase{R"r({"error":"spawn: No such file or directory (os error 2)"})r",
                  ReplyKind::kSpawnFailed, "No such file or directory (os error 2)",
                  ExitStatus::kSpawnFailed},
        ReplyCase{R"({"error":"spawn: nul byte found in provided data"})", ReplyKind::kSpawnFailed,
                  "nul byte found in provided data", ExitStatus::kSpawnFailed},
        ReplyCase{R"({"ok":true})", ReplyKind::kOk, "", ExitStatus::kOk},
        ReplyCase{R"({"running":true})", ReplyKind::kRunning, "", ExitStatus::kOk},
        ReplyCase{R"({"running":false})", ReplyKind::kNotRunning, "", ExitStatus::kOk}),
    case_name);

// Lines that resemble replies but are not one byte for byte: tunnel output, never an error.
INSTANTIATE_TEST_SUITE_P(
    NearMisses, ClassifyTest,
    ::testing::Values(
        ReplyCase{"", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{"INFO:   Connected to gateway.", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"error":"unauthorized"} )", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"( {"error":"unauthorized"})", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"error":"unauthorized"})"
                  "\r",
                  ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"error": "unauthorized"})", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"error":"Unauthorized"})", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"running":"true"})", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"error":"invalid field: "})", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"error":"invalid field: Host"})", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"error":"invalid field: host name"})", ReplyKind::kOther, "",
                  ExitStatus::kOk},
        ReplyCase{R"({"error":"spawn: "})", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"error":"spawn: x")", ReplyKind::kOther, "", ExitStatus::kOk},
        ReplyCase{R"({"error":"other"})", ReplyKind::kOther, "", ExitStatus::kOk}),
    case_name);

TEST(FailureTest, UnreachableNamesThePathAndTheSystemError) {
    const Failure failure = unreachable("/run/marlox/helper.sock", os::Errno{2});
    EXPECT_EQ(failure.status, ExitStatus::kUnreachable);
    EXPECT_EQ(failure.message,
              "cannot reach /run/marlox/helper.sock: No such file or directory (os error 2); is "
              "marlox-helper running?");
}

TEST(FailureTest, UnknownReplyIsShownShortAndWithoutControlCharacters) {
    const std::string line = "\x1b[2J" + std::string(300, 'x');
    const Failure failure = bad_reply(line);
    EXPECT_EQ(failure.status, ExitStatus::kBadReply);
    EXPECT_EQ(failure.message,
              "unexpected reply from the daemon: ?[2J" + std::string(196, 'x') + "...");
    EXPECT_EQ(bad_reply("").message, "the daemon closed the connection without a reply");
}

TEST(FailureTest, ExitStatusesAreDistinctAndAllDocumented) {
    std::set<int> seen;
    for (const ExitStatusDoc& doc : kExitStatusDocs) {
        EXPECT_TRUE(seen.insert(code(doc.status)).second) << code(doc.status);
        EXPECT_FALSE(doc.meaning.empty());
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(code(ExitStatus::kTooManyConnections)) + 1);
}

}  // namespace
}  // namespace marlox::ctl
