// The real daemon's answers to request lines: framing, trimming, strict JSON, dispatch.
#include <string>

#include "support/client.h"
#include "support/daemon.h"
#include "support/integration_test.h"

namespace marlox::support {
namespace {

constexpr std::string_view kStatus = "{\"cmd\":\"status\"}";
constexpr std::string_view kNotRunning = "{\"running\":false}\n";
constexpr std::string_view kBadJson = "{\"error\":\"bad json\"}\n";
constexpr std::string_view kUnknownCmd = "{\"error\":\"unknown cmd\"}\n";
constexpr std::string_view kOk = "{\"ok\":true}\n";
constexpr std::string_view kNoReply = "";

// A status request inside arrays nested so that the whole text is depth levels deep, the
// object itself counting as the first.
std::string status_at_depth(int depth) {
    const int arrays = depth - 1;
    return "{\"cmd\":\"status\",\"deep\":" + std::string(arrays, '[') + std::string(arrays, ']') +
           "}\n";
}

struct RequestCase {
    std::string name;
    std::string request;
    bool then_shut_write;  // end the sending side after the request
    std::string_view reply;
};

void PrintTo(const RequestCase& c, std::ostream* out) { *out << c.name; }

class RequestTest : public DaemonTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestTest, AnswersWithTheExpectedLineThenCloses) {
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(client->send(GetParam().request));
    if (GetParam().then_shut_write) {
        ASSERT_TRUE(client->shut_write());
    }
    const Received reply = client->read_to_end();
    EXPECT_EQ(reply.bytes, GetParam().reply);
    EXPECT_EQ(reply.end, StreamEnd::kEof);
}

const std::string kLine = std::string(kStatus) + "\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, RequestTest,
    ::testing::Values(
        RequestCase{"StatusLine", kLine, false, kNotRunning},
        RequestCase{"StatusWithoutLineFeedThenEndOfSending", std::string(kStatus), true,
                    kNotRunning},
        RequestCase{"FormFeedBeforeCrLfAfter", "\f{\"cmd\":\"status\"}\r\n", false, kNotRunning},
        RequestCase{"NoBreakSpaceBefore", "\xC2\xA0{\"cmd\":\"status\"}\r\n", false, kNotRunning},
        RequestCase{"IdeographicSpaceAround", "\xE3\x80\x80" + kLine + "\xE3\x80\x80", false,
                    kNotRunning},
        RequestCase{"CommandInOtherCase", "{\"cmd\":\"Status\"}\n", false, kUnknownCmd},
        RequestCase{"CommandWithLeadingSpace", "{\"cmd\":\" status\"}\n", false, kUnknownCmd},
        RequestCase{"CommandWithTrailingSpace", "{\"cmd\":\"status \"}\n", false, kUnknownCmd},
        RequestCase{"CommandIsANumber", "{\"cmd\":1}\n", false, kUnknownCmd},
        RequestCase{"NoCommand", "{\"host\":\"status\"}\n", false, kUnknownCmd},
        RequestCase{"TopLevelArray", "[\"status\"]\n", false, kUnknownCmd},
        RequestCase{"TopLevelString", "\"status\"\n", false, kUnknownCmd},
        RequestCase{"TrailingGarbage", std::string(kStatus) + " x\n", false, kBadJson},
        RequestCase{"MissingClosingBrace", "{\"cmd\":\"status\"\n", false, kBadJson},
        RequestCase{"TwoObjectsOnOneLine", std::string(kStatus) + std::string(kStatus) + "\n",
                    false, kBadJson},
        RequestCase{"TrailingComma", "{\"cmd\":\"status\",}\n", false, kBadJson},
        RequestCase{"NumberBeyondDouble", "{\"cmd\":\"status\",\"n\":1e400}\n", false, kBadJson},
        RequestCase{"UnpairedSurrogate", "{\"cmd\":\"status\",\"s\":\"\\ud800\"}\n", false,
                    kBadJson},
        RequestCase{"RawNulInside", std::string("{\"cmd\":\"status\"}\0\n", 18), false, kBadJson},
        RequestCase{"DuplicateCommandLastWins", "{\"cmd\":\"nope\",\"cmd\":\"status\"}\n", false,
                    kNotRunning},
        RequestCase{"DisconnectWithoutTunnel", "{\"cmd\":\"disconnect\"}\n", false, kOk},
        RequestCase{"EmptyRequestThenEndOfSending", "", true, kBadJson},
        RequestCase{"OnlyWhiteSpace", " \t\r\n", false, kBadJson},
        RequestCase{"InvalidUtf8GetsNoReply", "{\"cmd\":\"status\",\"x\":\"\xff\"}\n", false,
                    kNoReply},
        RequestCase{"OverlongUtf8GetsNoReply", "{\"cmd\":\"st\xC1\xB3tus\"}\n", false, kNoReply},
        RequestCase{"NestedToDepth127", status_at_depth(127), false, kNotRunning},
        RequestCase{"NestedToDepth128", status_at_depth(128), false, kBadJson},
        RequestCase{"OnlyTheFirstLineIsAnswered", kLine + "{\"cmd\":\"disconnect\"}\n", false,
                    kNotRunning}),
    [](const ::testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

class RequestFramingTest : public DaemonTest {};

TEST_F(RequestFramingTest, LineSplitOverManySendsIsOneRequest) {
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(client->send_in_pieces(kLine, 3, milliseconds(5)));
    EXPECT_EQ(client->read_to_end().bytes, kNotRunning);
}

TEST_F(RequestFramingTest, SecondLineAfterTheAnswerIsNeverRead) {
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(client->send(kLine));
    EXPECT_EQ(client->read_line(), kNotRunning);
    (void)client->send("{\"cmd\":\"disconnect\"}\n");  // may fail: the daemon is gone
    EXPECT_EQ(client->read_to_end().bytes, "");
    EXPECT_NE(client->end(), StreamEnd::kOpen);
}

// The request line is capped at 64 KiB, its line feed included.
constexpr std::size_t kCap = 65536;
constexpr std::string_view kTooLong = "{\"error\":\"request too long\"}\n";

// A status request padded with a member to exactly size bytes (without any line feed).
std::string status_of_size(std::size_t size) {
    const std::string head = "{\"cmd\":\"status\",\"pad\":\"";
    const std::string tail = "\"}";
    return head + std::string(size - head.size() - tail.size(), 'a') + tail;
}

TEST_F(RequestFramingTest, LineOfExactlyTheCapIsAnswered) {
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(client->send(status_of_size(kCap - 1) + "\n"));
    const Received reply = client->read_to_end();
    EXPECT_EQ(reply.bytes, kNotRunning);
    EXPECT_EQ(reply.end, StreamEnd::kEof);
}

TEST_F(RequestFramingTest, CapWithoutLineFeedThenEndOfSendingIsAnswered) {
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(client->send(status_of_size(kCap)));
    ASSERT_TRUE(client->shut_write());
    EXPECT_EQ(client->read_to_end().bytes, kNotRunning);
}

TEST_F(RequestFramingTest, OneByteOverTheCapIsRefused) {
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(client->send(status_of_size(kCap + 1)));
    const Received reply = client->read_to_end();
    EXPECT_EQ(reply.bytes, kTooLong);
    EXPECT_EQ(reply.end, StreamEnd::kEof);
}

TEST_F(RequestFramingTest, LineFeedJustPastTheCapIsRefused) {
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(client->send(status_of_size(kCap) + "\n"));
    const Received reply = client->read_to_end();
    EXPECT_EQ(reply.bytes, kTooLong);
    EXPECT_NE(reply.end, StreamEnd::kOpen);
}

TEST_F(RequestFramingTest, EndlessLineIsCutOffAtTheCap) {
    auto client = Client::connect();
    ASSERT_TRUE(client) << client.error();
    // The daemon stops reading at the cap, so this send fails part-way once it has closed.
    const bool sent_all = client->send(std::string(16 * kCap, 'a'), milliseconds(2000));
    const Received reply = client->read_to_end();
    EXPECT_EQ(reply.bytes, kTooLong);
    EXPECT_NE(reply.end, StreamEnd::kOpen);
    EXPECT_FALSE(sent_all) << "the daemon read past the cap";
}

}  // namespace
}  // namespace marlox::support
