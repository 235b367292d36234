// Tests of serving one control connection: the exact bytes a client receives.
#include "control/dispatch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>

#include "../support/unit_io.h"
#include "os/io.h"

namespace marlox::control {
namespace {

// Serves conn on its own thread, as the accept loop does, sends request from client (then
// ends the client's sending side) and returns everything received up to the end of stream.
std::optional<std::string> exchange(os::UniqueFd conn, int client, const std::string& request,
                                    std::shared_ptr<tunnel::TunnelRecord> record) {
    std::thread server(serve_connection, std::move(conn), std::move(record),
                       std::make_shared<ConnectionCap>());
    std::optional<std::string> reply;
    if (os::send_all(client, request)) {
        (void)::shutdown(client, SHUT_WR);
        reply = test::read_bounded(client);
    }
    // A server that never finishes gets woken by the end of its connection.
    if (!reply) (void)::shutdown(client, SHUT_RDWR);
    server.join();
    return reply;
}

std::optional<std::string> exchange(
    const std::string& request,
    std::shared_ptr<tunnel::TunnelRecord> record = std::make_shared<tunnel::TunnelRecord>()) {
    auto pair = test::socket_pair();
    return exchange(std::move(pair.b), pair.a.get(), request, std::move(record));
}

TEST(DispatchTest, RepliesByteForByte) {
    const struct {
        std::string request;
        std::string reply;
    } cases[] = {
        {"{\"cmd\":\"status\"}\n", "{\"running\":false}\n"},
        {"{\"cmd\":\"status\"}", "{\"running\":false}\n"},
        {"\f\xC2\xA0{\"cmd\":\"status\"}\r\n", "{\"running\":false}\n"},
        {"{\"cmd\":\"status\"}\n{\"cmd\":\"disconnect\"}\n", "{\"running\":false}\n"},
        {"{\"cmd\":\"bogus\",\"cmd\":\"status\"}\n", "{\"running\":false}\n"},
        {"{\"cmd\":\"disconnect\"}\n", "{\"ok\":true}\n"},
        {"{\"cmd\":\"Status\"}\n", "{\"error\":\"unknown cmd\"}\n"},
        {"{\"cmd\":\" status\"}\n", "{\"error\":\"unknown cmd\"}\n"},
        {"{\"cmd\":1}\n", "{\"error\":\"unknown cmd\"}\n"},
        {"[\"status\"]\n", "{\"error\":\"unknown cmd\"}\n"},
        {"\"status\"\n", "{\"error\":\"unknown cmd\"}\n"},
        {"{}\n", "{\"error\":\"unknown cmd\"}\n"},
        {"{\"cmd\":\"status\"\n", "{\"error\":\"bad json\"}\n"},
        {"{\"cmd\":\"status\"} x\n", "{\"error\":\"bad json\"}\n"},
        {"{}{}\n", "{\"error\":\"bad json\"}\n"},
        {"", "{\"error\":\"bad json\"}\n"},
        {std::string(70000, ' '), "{\"error\":\"request too long\"}\n"},
        {"{\"cmd\":\"status\",\"x\":\"\xFF\"}\n", ""},  // not UTF-8: no answer at all
        {"{\"cmd\":\"\xED\xA0\x80\"}\n", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(exchange(c.request), c.reply) << testing::PrintToString(c.request.substr(0, 40));
    }
}

TEST(DispatchTest, StatusReportsAReservedTunnelAsRunning) {
    const auto record = std::make_shared<tunnel::TunnelRecord>();
    ASSERT_TRUE(record->try_reserve(0, {}));
    EXPECT_EQ(exchange("{\"cmd\":\"status\"}\n", record), "{\"running\":true}\n");
    EXPECT_EQ(exchange("{\"cmd\":\"disconnect\"}\n", record), "{\"ok\":true}\n");
    record->release("write conf failed");
    EXPECT_EQ(exchange("{\"cmd\":\"status\"}\n", record), "{\"running\":false}\n");
}

TEST(DispatchTest, RefusedPeerGetsOnlyTheUnauthorizedLine) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    test::Connection conn = test::connect_as(999, 999);
    ASSERT_TRUE(conn.server.valid());
    const int client = conn.client.get();
    // No request: one left unread could turn the close into a reset that hides the reply.
    EXPECT_EQ(
        exchange(std::move(conn.server), client, "", std::make_shared<tunnel::TunnelRecord>()),
        "{\"error\":\"unauthorized\"}\n");
}

}  // namespace
}  // namespace marlox::control
