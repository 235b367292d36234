// Failure messages: each daemon error to its exit status, and the messages of the other failures.
#include "ctl/failure.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace marlox::ctl {
namespace {

TEST(FailureTest, EachDaemonErrorHasItsExitStatus) {
    const struct {
        marlox_error error;
        ExitStatus status;
    } cases[] = {
        {MARLOX_ERROR_UNAUTHORIZED, ExitStatus::kUnauthorized},
        {MARLOX_ERROR_TOO_MANY_CONNECTIONS, ExitStatus::kTooManyConnections},
        {MARLOX_ERROR_BAD_JSON, ExitStatus::kBadJson},
        {MARLOX_ERROR_REQUEST_TOO_LONG, ExitStatus::kRequestTooLong},
        {MARLOX_ERROR_UNKNOWN_CMD, ExitStatus::kUnknownCmd},
        {MARLOX_ERROR_INVALID_FIELD, ExitStatus::kInvalidField},
        {MARLOX_ERROR_ALREADY_CONNECTED, ExitStatus::kAlreadyConnected},
        {MARLOX_ERROR_WRITE_CONF_FAILED, ExitStatus::kWriteConfFailed},
        {MARLOX_ERROR_SPAWN, ExitStatus::kSpawnFailed},
        {MARLOX_ERROR_OTHER, ExitStatus::kBadReply},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failure_for(c.error, "x", "").status, c.status) << c.error;
    EXPECT_EQ(failure_for(MARLOX_ERROR_OTHER, "maintenance", "").message,
              "unexpected reply from the daemon: {\"error\":\"maintenance\"}");
}

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
