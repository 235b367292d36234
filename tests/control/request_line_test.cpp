// Tests of reading the request line from a real connection.
#include "control/request_line.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "../support/unit_io.h"
#include "os/io.h"

namespace marlox::control {
namespace {

using test::socket_pair;

// Sends each piece with a pause in between (so the reader sees them in separate receives),
// then ends the sending side unless keep_open.
std::thread send_pieces(int fd, std::vector<std::string> pieces, bool keep_open = false) {
    return std::thread([fd, pieces = std::move(pieces), keep_open] {
        for (const std::string& piece : pieces) {
            if (!os::send_all(fd, piece)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!keep_open) (void)::shutdown(fd, SHUT_WR);
    });
}

RequestLine read_from(std::vector<std::string> pieces, bool keep_open = false) {
    const auto pair = socket_pair();
    std::thread writer = send_pieces(pair.a.get(), std::move(pieces), keep_open);
    RequestLine line = read_request_line(pair.b.get());
    writer.join();
    return line;
}

TEST(RequestLineTest, LinesEndAtTheFirstLineFeedOrAtTheEndOfStream) {
    const std::string max_line = std::string(kMaxRequestLine - 1, 'a') + "\n";
    const struct {
        std::vector<std::string> pieces;
        bool keep_open;
        std::string line;
    } cases[] = {
        {{"{\"cmd\"", ":\"sta", "tus\"}\n"}, true, "{\"cmd\":\"status\"}\n"},
        {{"{\"cmd\":\"status\"}"}, false, "{\"cmd\":\"status\"}"},
        {{}, false, ""},
        {{"first\nsecond\n", "third\n"}, true, "first\n"},
        {{"\r\n"}, true, "\r\n"},
        {{max_line}, true, max_line},
        {{max_line.substr(0, 30000), max_line.substr(30000)}, true, max_line},
        {{std::string(kMaxRequestLine, 'b')}, false, std::string(kMaxRequestLine, 'b')},
        {{std::string(kMaxRequestLine - 1, 'c'), "\nafter"},
         true,
         std::string(kMaxRequestLine - 1, 'c') + "\n"},
    };
    for (const auto& c : cases) {
        const RequestLine line = read_from(c.pieces, c.keep_open);
        EXPECT_EQ(line.status, LineStatus::kLine);
        EXPECT_EQ(line.text, c.line) << testing::PrintToString(line.text.substr(0, 40));
    }
}

TEST(RequestLineTest, MoreThanTheCapWithoutLineFeedIsTooLong) {
    const std::string full(kMaxRequestLine, 'a');
    for (const auto& pieces : std::vector<std::vector<std::string>>{
             {full + "\n"}, {full, "x"}, {full, "\n"}, {full + "more than the cap\n"}}) {
        EXPECT_EQ(read_from(pieces, /*keep_open=*/true).status, LineStatus::kTooLong);
    }
}

TEST(RequestLineTest, ReceiveErrorsFail) {
    // The client closed with our reply unread: the next receive reports a reset.
    {
        auto pair = socket_pair();
        ASSERT_TRUE(os::send_all(pair.b.get(), "reply"));
        pair.a.reset();
        EXPECT_EQ(read_request_line(pair.b.get()).status, LineStatus::kFailed);
    }
    // A stream socket that was never connected.
    {
        const os::UniqueFd unconnected(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(read_request_line(unconnected.get()).status, LineStatus::kFailed);
    }
    // No descriptor at all: the duplicate cannot be made.
    EXPECT_EQ(read_request_line(-1).status, LineStatus::kFailed);
}

TEST(RequestLineTest, TheDuplicateIsClosedAndTheConnectionKept) {
    const std::set<int> before = test::open_fds();
    {
        const auto pair = socket_pair();
        const std::set<int> with_pair = test::open_fds();
        ASSERT_TRUE(os::send_all(pair.a.get(), "one\n"));
        EXPECT_EQ(read_request_line(pair.b.get()).status, LineStatus::kLine);
        EXPECT_EQ(test::open_fds(), with_pair);
        // The connection itself stays open and usable for the reply.
        ASSERT_TRUE(os::send_all(pair.b.get(), "reply"));
        (void)::shutdown(pair.b.get(), SHUT_WR);
        EXPECT_EQ(test::read_bounded(pair.a.get()), "reply");

        const auto long_pair = socket_pair();
        std::thread writer =
            send_pieces(long_pair.a.get(), {std::string(kMaxRequestLine + 1, 'x')}, true);
        EXPECT_EQ(read_request_line(long_pair.b.get()).status, LineStatus::kTooLong);
        writer.join();
    }
    {
        const os::UniqueFd unconnected(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(read_request_line(unconnected.get()).status, LineStatus::kFailed);
    }
    EXPECT_EQ(test::open_fds(), before);
}

}  // namespace
}  // namespace marlox::control
