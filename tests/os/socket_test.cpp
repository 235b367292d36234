// Tests of the Unix-domain socket set-up on real sockets in a temporary directory.
#include "os/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "../support/unit_io.h"
#include "os/io.h"

namespace marlox::os {
namespace {

class SocketTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    const test::TempDir temp_;
    const std::string& dir_ = temp_.path();
};

TEST_F(SocketTest, ListenAcceptAndConnectMeet) {
    const std::string path = dir_ + "/helper.sock";
    auto listener = listen_unix(path);
    ASSERT_TRUE(listener) << describe(listener.error());
    EXPECT_EQ(::fcntl(listener->get(), F_GETFD), FD_CLOEXEC);

    auto client = connect_unix(path);
    ASSERT_TRUE(client);
    EXPECT_EQ(::fcntl(client->get(), F_GETFD), FD_CLOEXEC);
    ASSERT_TRUE(test::readable_within(listener->get(), test::kTimeout));
    auto conn = accept_connection(listener->get());
    ASSERT_TRUE(conn);
    EXPECT_EQ(::fcntl(conn->get(), F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(peer_uid(conn->get()).value(), ::geteuid());

    ASSERT_TRUE(send_all(client->get(), "ping"));
    client->reset();
    EXPECT_EQ(test::read_bounded(conn->get()), "ping");
}

TEST_F(SocketTest, SetUpFailuresAreReported) {
    const std::string path = dir_ + "/helper.sock";
    auto first = listen_unix(path);
    ASSERT_TRUE(first);
    const auto second = listen_unix(path);  // the file is still there
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().code, EADDRINUSE);

    const auto nobody = connect_unix(dir_ + "/missing.sock");
    ASSERT_FALSE(nobody);
    EXPECT_EQ(nobody.error().code, ENOENT);

    // sun_path holds 108 bytes with the terminating NUL.
    const std::string longest = dir_ + "/" + std::string(107 - dir_.size() - 1, 'x');
    ASSERT_EQ(longest.size(), 107u);
    EXPECT_TRUE(listen_unix(longest));
    const auto too_long = listen_unix(longest + "y");
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().code, ENAMETOOLONG);

    const auto no_socket = accept_connection(-1);
    ASSERT_FALSE(no_socket);
    EXPECT_EQ(no_socket.error().code, EBADF);
}

}  // namespace
}  // namespace marlox::os
