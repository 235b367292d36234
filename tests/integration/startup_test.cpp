// The real daemon's start-up: its one start line, its socket, and the failures that stop it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "os/socket.h"
#include "support/client.h"
#include "support/daemon.h"
#include "support/integration_test.h"

namespace marlox::support {
namespace {

constexpr std::string_view kStatus = "{\"cmd\":\"status\"}\n";
constexpr std::string_view kNotRunning = "{\"running\":false}\n";

class StartupTest : public IntegrationTest {};

void expect_serves_status() {
    auto reply = exchange(kStatus);
    ASSERT_TRUE(reply) << reply.error();
    EXPECT_EQ(reply->bytes, kNotRunning);
    EXPECT_EQ(reply->end, StreamEnd::kEof);
}

TEST_F(StartupTest, AnnouncesItselfWithExactlyOneStartLine) {
    auto daemon = Daemon::start();
    ASSERT_TRUE(daemon) << daemon.error();
    expect_serves_status();
    EXPECT_EQ(daemon->stderr_text(), "[marlox-helper] listening on /run/marlox/helper.sock\n");
}

TEST_F(StartupTest, SocketIsOpenToEveryUserWhateverTheUmask) {
    DaemonOptions options;
    options.umask = 077;
    auto daemon = Daemon::start(options);
    ASSERT_TRUE(daemon) << daemon.error();
    struct stat st {};
    ASSERT_EQ(::stat(kSocketPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(StartupTest, LeftoverSocketFileIsReplaced) {
    std::filesystem::create_directories(kRuntimeDir);
    {
        // A socket bound and closed without unlinking leaves its file behind, like a killed run.
        auto stale = os::listen_unix(kSocketPath);
        ASSERT_TRUE(stale);
    }
    ASSERT_TRUE(std::filesystem::is_socket(kSocketPath));
    auto daemon = Daemon::start();
    ASSERT_TRUE(daemon) << daemon.error();
    expect_serves_status();
}

TEST_F(StartupTest, SecondDaemonTakesOverTheSocketPath) {
    auto first = Daemon::start();
    ASSERT_TRUE(first) << first.error();
    auto second = Daemon::start();
    ASSERT_TRUE(second) << second.error();
    expect_serves_status();
    // Only the second daemon listens on the path now: once it is gone, nobody answers.
    second->kill();
    EXPECT_FALSE(Client::connect());
    EXPECT_TRUE(first->running());
}

TEST_F(StartupTest, RuntimeDirectoryThatIsAFileStopsTheDaemonWithStatus101) {
    std::ofstream(kRuntimeDir) << "not a directory";
    DaemonOptions options;
    options.wait_until_listening = false;
    auto daemon = Daemon::start(options);
    ASSERT_TRUE(daemon) << daemon.error();
    const auto status = daemon->wait_exit();
    ASSERT_TRUE(status) << "still running";
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 101);
    EXPECT_TRUE(daemon->wait_for_stderr("bind socket")) << daemon->stderr_text();
}

TEST_F(StartupTest, UnwritableStderrStopsTheDaemonWithStatus101) {
    DaemonOptions options;
    options.broken_stderr = true;
    options.wait_until_listening = false;
    auto daemon = Daemon::start(options);
    ASSERT_TRUE(daemon) << daemon.error();
    const auto status = daemon->wait_exit();
    ASSERT_TRUE(status) << "still running";
    // Exited with the fatal status, not killed by SIGPIPE.
    EXPECT_TRUE(status->exited) << "signal " << status->signal;
    EXPECT_EQ(status->code, 101);
}

TEST_F(StartupTest, ClosedStandardStreamsAreNeverReusedForTheSocket) {
    DaemonOptions options;
    options.close_standard_streams = true;
    auto daemon = Daemon::start(options);
    ASSERT_TRUE(daemon) << daemon.error();
    expect_serves_status();

    const std::filesystem::path fds = "/proc/" + std::to_string(daemon->pid()) + "/fd";
    for (int fd = 0; fd <= 2; ++fd) {
        EXPECT_EQ(std::filesystem::read_symlink(fds / std::to_string(fd)), "/dev/null")
            << "descriptor " << fd;
    }
    int sockets = 0;
    for (const auto& entry : std::filesystem::directory_iterator(fds)) {
        if (std::filesystem::read_symlink(entry).string().starts_with("socket:")) ++sockets;
    }
    EXPECT_EQ(sockets, 1) << "the listener, numbered above 2";
}

}  // namespace
}  // namespace marlox::support
