// Request lines: one line of JSON that the daemon's own strict parser reads back value for value.
#include "lib/request_builder.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/request.h"

namespace marlox::lib {
namespace {

// Parses line the way the daemon does: one line, its line feed removed, strict JSON.
std::optional<protocol::Request> parse_as_daemon(std::string_view line) {
    EXPECT_TRUE(line.ends_with('\n'));
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "a request must be exactly one line";
    return protocol::Request::parse(line.substr(0, line.size() - 1));
}

TEST(RequestBuilderTest, StatusAndDisconnectAreTheirCommandWordsAlone) {
    EXPECT_EQ(status_request(), "{\"cmd\":\"status\"}\n");
    EXPECT_EQ(disconnect_request(), "{\"cmd\":\"disconnect\"}\n");
}

TEST(RequestBuilderTest, ConnectCarriesEveryValueExactly) {
    ConnectValues options;
    options.host = "vpn.example.com";
    options.port = "10443";
    options.username = "ålice \"quoted\" \\ back";
    options.realm = "staff";
    const std::string cert(64, 'a');
    options.trusted_cert = cert;
    const std::string ticket = "p\"a\\s\ts/\x01word€";

    const auto request = parse_as_daemon(connect_request(options, ticket).view());
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->member("cmd"), "connect");
    EXPECT_EQ(request->member("host"), options.host);
    EXPECT_EQ(request->member("port"), options.port);
    EXPECT_EQ(request->member("username"), options.username);
    EXPECT_EQ(request->member("ticket"), ticket);
    EXPECT_EQ(request->member("realm"), "staff");
    EXPECT_EQ(request->member("trusted_cert"), options.trusted_cert);
}

TEST(RequestBuilderTest, AbsentRealmAndCertAreLeftOutNotSentEmpty) {
    ConnectValues options{"h", "1", "u", std::nullopt, std::nullopt};
    const auto request = parse_as_daemon(connect_request(options, "t").view());
    ASSERT_TRUE(request.has_value());
    EXPECT_FALSE(request->member("realm").has_value());
    EXPECT_FALSE(request->member("trusted_cert").has_value());
}

TEST(RequestBuilderTest, LineBreaksInValuesStayInsideTheOneLine) {
    const std::string realm("r\0x", 3);
    ConnectValues options{"evil\nhost", "1\r", "u", realm, std::nullopt};
    const auto request = parse_as_daemon(connect_request(options, "line1\nline2").view());
    ASSERT_TRUE(request.has_value());
    // Delivered intact, for the daemon to judge ("invalid field"), not cut or dropped here.
    EXPECT_EQ(request->member("host"), "evil\nhost");
    EXPECT_EQ(request->member("port"), "1\r");
    EXPECT_EQ(request->member("realm"), std::string_view("r\0x", 3));
    EXPECT_EQ(request->member("ticket"), "line1\nline2");
}

}  // namespace
}  // namespace marlox::lib
