// Tests of the connect refusals that come before anything is written or started.
#include "tunnel/launch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <memory>
#include <string>

#include "os/io.h"
#include "os/poll.h"

namespace marlox::tunnel {
namespace {

// Runs a connect on one end of a socket pair and returns what the client end received.
std::string connect_reply(std::string_view json, const std::shared_ptr<TunnelRecord>& record) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    os::UniqueFd daemon_end(fds[0]);
    os::UniqueFd client_end(fds[1]);
    auto request = protocol::Request::parse(json);
    EXPECT_TRUE(request.has_value());
    run_connect(daemon_end.get(), /*uid=*/0, *request, record);
    daemon_end.reset();

    std::string reply;
    std::array<char, 256> buffer;
    for (;;) {
        const auto woke = os::wait_ready(client_end.get(), os::Readiness::kReadable, -1, 5000);
        if (!woke || !woke->ready) {
            ADD_FAILURE() << "no end of stream in time";
            return reply;
        }
        const auto got = os::recv_some(client_end.get(), buffer);
        if (!got || *got == 0) return reply;
        reply.append(buffer.data(), *got);
    }
}

TEST(LaunchTest, UnsafeFieldIsRefusedBeforeAnythingHappens) {
    struct Case {
        std::string_view json;
        std::string_view reply;
    };
    const Case cases[] = {
        {R"({"cmd":"connect","host":"a\nb"})", "{\"error\":\"invalid field: host\"}\n"},
        {R"({"cmd":"connect","port":"443\r"})", "{\"error\":\"invalid field: port\"}\n"},
        {R"({"cmd":"connect","username":"u\u0000"})", "{\"error\":\"invalid field: username\"}\n"},
        {R"({"cmd":"connect","ticket":"t\n"})", "{\"error\":\"invalid field: ticket\"}\n"},
        {R"({"cmd":"connect","trusted_cert":"\rc","host":"h"})",
         "{\"error\":\"invalid field: trusted_cert\"}\n"},
        {R"({"cmd":"connect","trusted_cert":"\n","port":"\n"})",
         "{\"error\":\"invalid field: port\"}\n"},
    };
    for (const Case& c : cases) {
        const auto record = std::make_shared<TunnelRecord>();
        EXPECT_EQ(connect_reply(c.json, record), c.reply) << c.json;
        EXPECT_FALSE(record->is_running()) << c.json;
    }
}

TEST(LaunchTest, SecondTunnelIsRefused) {
    const auto record = std::make_shared<TunnelRecord>();
    ASSERT_TRUE(record->try_reserve(0, {}));
    EXPECT_EQ(connect_reply(R"({"cmd":"connect","host":"h"})", record),
              "{\"error\":\"already connected\"}\n");
    EXPECT_TRUE(record->is_running());
    // The field check comes first, so it also answers while a tunnel runs.
    EXPECT_EQ(connect_reply(R"({"cmd":"connect","host":"\n"})", record),
              "{\"error\":\"invalid field: host\"}\n");
}

}  // namespace
}  // namespace marlox::tunnel
