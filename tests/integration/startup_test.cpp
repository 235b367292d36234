// The real daemon's start-up: its one start line, its socket, and the failures that stop it.
#include <signal.h>
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

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// The directory is writable by root alone, and the socket in it reachable by every user.
void expect_private_directory_and_open_socket() {
    EXPECT_EQ(mode_of(kRuntimeDir), S_IFDIR | 0755) << std::oct << mode_of(kRuntimeDir);
    EXPECT_EQ(mode_of(kSocketPath), S_IFSOCK | 0666) << std::oct << mode_of(kSocketPath);
    auto reply = exchange_as(1000, kStatus);
    ASSERT_TRUE(reply) << reply.error();
    EXPECT_EQ(reply->bytes, kNotRunning);
}

class UmaskTest : public IntegrationTest, public ::testing::WithParamInterface<mode_t> {};

TEST_P(UmaskTest, RuntimeDirectoryAndSocketModesDoNotDependOnTheUmask) {
    DaemonOptions options;
    options.umask = GetParam();
    auto daemon = Daemon::start(options);
    ASSERT_TRUE(daemon) << daemon.error();
    expect_private_directory_and_open_socket();
}

INSTANTIATE_TEST_SUITE_P(Umask, UmaskTest, ::testing::Values(0, 077), [](const auto& info) {
    return info.param == 0 ? "Umask000" : "Umask077";
});

TEST_F(StartupTest, LeftoverDirectoryWritableByOthersIsNarrowed) {
    std::filesystem::create_directories(kRuntimeDir);
    ASSERT_EQ(::chmod(kRuntimeDir.c_str(), 0777), 0);
    auto daemon = Daemon::start();
    ASSERT_TRUE(daemon) << daemon.error();
    expect_private_directory_and_open_socket();
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

TEST_F(StartupTest, SecondDaemonIsRefusedWhileTheFirstKeepsServing) {
    auto first = Daemon::start();
    ASSERT_TRUE(first) << first.error();
    DaemonOptions options;
    options.wait_until_listening = false;
    auto second = Daemon::start(options);
    ASSERT_TRUE(second) << second.error();
    const auto status = second->wait_exit();
    ASSERT_TRUE(status) << "still running";
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 101);
    EXPECT_TRUE(second->wait_for_stderr("bind socket")) << second->stderr_text();
    EXPECT_TRUE(second->wait_for_stderr("another daemon")) << second->stderr_text();
    // The first still owns the socket file: once it is gone, nobody answers.
    expect_serves_status();
    first->kill();
    EXPECT_FALSE(Client::connect());
}

// What may stand at the runtime directory's path, or in it, before the daemon starts, that it
// refuses.
struct PlantedCase {
    std::string name;
    void (*plant)();
    std::string fatal_text = "bind socket";  // what the fatal line says besides "bind socket"
};

void PrintTo(const PlantedCase& c, std::ostream* out) { *out << c.name; }

class PlantedRuntimeDirTest : public IntegrationTest,
                              public ::testing::WithParamInterface<PlantedCase> {};

TEST_P(PlantedRuntimeDirTest, StopsTheDaemonWithStatus101) {
    GetParam().plant();
    if (HasFatalFailure()) return;
    DaemonOptions options;
    options.wait_until_listening = false;
    auto daemon = Daemon::start(options);
    ASSERT_TRUE(daemon) << daemon.error();
    const auto status = daemon->wait_exit();
    ASSERT_TRUE(status) << "still running";
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 101);
    EXPECT_TRUE(daemon->wait_for_stderr("bind socket")) << daemon->stderr_text();
    EXPECT_TRUE(daemon->wait_for_stderr(GetParam().fatal_text)) << daemon->stderr_text();
    EXPECT_FALSE(std::filesystem::is_socket(kSocketPath));
}

// A directory of uid 1000 planted in a runtime directory that was once open to everyone.
void plant_user_directory(const std::string& path) {
    std::filesystem::create_directories(path);
    ASSERT_EQ(::chown(path.c_str(), 1000, 1000), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Planted, PlantedRuntimeDirTest,
    ::testing::Values(
        PlantedCase{"File", [] { std::ofstream(kRuntimeDir) << "not a directory"; }},
        // Its owner could widen its mode again at any time.
        PlantedCase{"UserOwnedDirectory",
                    [] {
                        std::filesystem::create_directories(kRuntimeDir);
                        ASSERT_EQ(::chown(kRuntimeDir.c_str(), 1000, 1000), 0);
                        ASSERT_EQ(::chmod(kRuntimeDir.c_str(), 0755), 0);
                    }},
        // Even to a directory root owns: whoever can replace the link chooses the directory.
        PlantedCase{"SymbolicLink",
                    [] {
                        std::filesystem::create_directories("/run/elsewhere");
                        std::filesystem::create_directory_symlink("/run/elsewhere", kRuntimeDir);
                    }},
        // It would make every connect fail to write the file.
        PlantedCase{"UserDirectoryAtConfigPath", [] { plant_user_directory(kConfigPath); },
                    kConfigPath + " is owned by uid 1000"},
        // It would make the bind fail, with a reason that does not say why.
        PlantedCase{"UserDirectoryAtSocketPath", [] { plant_user_directory(kSocketPath); },
                    kSocketPath + " is owned by uid 1000"}),
    [](const ::testing::TestParamInfo<PlantedCase>& info) { return info.param.name; });

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

TEST_F(StartupTest, SigtermBlockedByItsParentStillEndsTheDaemon) {
    DaemonOptions options;
    options.unclean_inheritance = true;
    auto daemon = Daemon::start(options);
    ASSERT_TRUE(daemon) << daemon.error();
    ASSERT_EQ(::kill(daemon->pid(), SIGTERM), 0);
    const auto status = daemon->wait_exit();
    ASSERT_TRUE(status) << "still running";
    EXPECT_FALSE(status->exited) << "exit " << status->code;
    EXPECT_EQ(status->signal, SIGTERM);
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
    EXPECT_EQ(sockets, 2) << "the listener and the readiness socket, numbered above 2";
}

}  // namespace
}  // namespace marlox::support
