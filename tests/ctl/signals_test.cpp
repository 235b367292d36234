// Signals and the terminal: Ctrl-C and its kin end the tunnel cleanly; the password prompt
// does not echo and leaves the terminal as it found it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "ctl_fixture.h"

namespace marlox::ctltest {
namespace {

const std::string kConfigPath = "/run/marlox/of.conf";

struct SignalCase {
    std::string name;
    int sig;
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class EndingSignalTest : public CtlTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(EndingSignalTest, EndsTheTunnelPrintsItsLastLinesThenDiesOfIt) {
    fake().write_script("h",
                        "ignore-term\nout up\nwait-term 20000\nout closing down\nerr pppd gone\n");
    auto connect = start_connect("h");
    ASSERT_TRUE(connect) << connect.error();
    ASSERT_TRUE(connect->wait_out("up\n"));

    ASSERT_TRUE(connect->signal(GetParam().sig));
    EXPECT_TRUE(fake().wait_for("term"));
    const auto ended = connect->wait_exit();
    ASSERT_TRUE(ended.has_value()) << connect->out();
    EXPECT_EQ(describe(*ended), "signal " + std::to_string(GetParam().sig));
    // Everything the tunnel said on its way down arrived before marlox-ctl ended.
    EXPECT_TRUE(connect->out() == "up\nclosing down\npppd gone\n" ||
                connect->out() == "up\npppd gone\nclosing down\n")
        << connect->out();
    EXPECT_EQ(connect->err(), "");
    // It ended only once the tunnel was gone.
    EXPECT_EQ(status_reply(), kNotRunning);
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    EXPECT_TRUE(daemon().wait_for_stderr("结束隧道 pid=")) << daemon().stderr_text();
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignalTest,
                         ::testing::Values(SignalCase{"Interrupt", SIGINT},
                                           SignalCase{"Terminate", SIGTERM},
                                           SignalCase{"HangUp", SIGHUP}),
                         [](const auto& info) { return info.param.name; });

TEST_F(CtlTest, SecondInterruptEndsAtOnceWhenTheTunnelLingers) {
    fake().write_script("h", "ignore-term\nout up\nsleep 4000\n");
    auto connect = start_connect("h");
    ASSERT_TRUE(connect) << connect.error();
    ASSERT_TRUE(connect->wait_out("up\n"));

    ASSERT_TRUE(connect->signal(SIGINT));
    ASSERT_TRUE(fake().wait_for("term"));
    EXPECT_FALSE(connect->wait_exit(milliseconds(300)).has_value());

    ASSERT_TRUE(connect->signal(SIGINT));
    const auto ended = connect->wait_exit(milliseconds(2000));
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(describe(*ended), "signal " + std::to_string(SIGINT));
}

// The settings of the terminal whose device is path, seen from a descriptor of its own.
std::optional<termios> settings_of(const std::string& path) {
    os::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios settings{};
    if (!fd.valid() || ::tcgetattr(fd.get(), &settings) < 0) return std::nullopt;
    return settings;
}

// What the terminal shows (its echo) within the time-out.
std::string screen(int master, milliseconds timeout) {
    const support::Deadline deadline(timeout);
    std::string shown;
    pollfd fd{master, POLLIN, 0};
    while (::poll(&fd, 1, deadline.poll_ms()) == 1) {
        char buffer[256];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        shown.append(buffer, static_cast<std::size_t>(n));
    }
    return shown;
}

std::string terminal_path(int master) {
    char name[128] = {};
    return ::ptsname_r(master, name, sizeof name) == 0 ? name : "";
}

TEST_F(CtlTest, PasswordTypedOnATerminalIsNotEchoedAndEchoComesBack) {
    fake().write_script("h", "out up\nwait-term 20000\n");
    auto connect = CtlProcess::start({connect_args("h"), 0, /*on_terminal=*/true});
    ASSERT_TRUE(connect) << connect.error();
    ASSERT_TRUE(connect->wait_err("Password for alice: ")) << connect->err();
    const std::string path = terminal_path(connect->terminal());
    const auto asking = settings_of(path);
    ASSERT_TRUE(asking.has_value());
    EXPECT_EQ(asking->c_lflag & ECHO, 0u);

    ASSERT_TRUE(connect->write_input("typed-secret\n"));
    ASSERT_TRUE(fake().wait_for("ready")) << connect->err();
    ASSERT_TRUE(connect->wait_out("up\n"));
    const std::string shown = screen(connect->terminal(), milliseconds(200));
    EXPECT_EQ(shown.find("typed"), std::string::npos) << shown;
    EXPECT_NE(shown.find('\n'), std::string::npos) << "Enter should still move the cursor";
    const std::string config = fake().read("config").value_or("");
    EXPECT_NE(config.find("\npassword = typed-secret\n"), std::string::npos) << config;

    const auto after = settings_of(path);
    ASSERT_TRUE(after.has_value());
    // Back as a new terminal starts: echo on, and no echo of a lone line feed.
    EXPECT_EQ(after->c_lflag & (ECHO | ECHONL), static_cast<tcflag_t>(ECHO));
    EXPECT_EQ(after->c_lflag & ~(ECHO | ECHONL), asking->c_lflag & ~(ECHO | ECHONL));
}

class PromptSignalTest : public CtlTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(PromptSignalTest, EndsWithTheTerminalRestoredAndStartsNothing) {
    auto connect = CtlProcess::start({connect_args("h"), 0, /*on_terminal=*/true});
    ASSERT_TRUE(connect) << connect.error();
    ASSERT_TRUE(connect->wait_err("Password for alice: "));
    const std::string path = terminal_path(connect->terminal());

    ASSERT_TRUE(connect->signal(GetParam().sig));
    const auto ended = connect->wait_exit();
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(describe(*ended), "signal " + std::to_string(GetParam().sig));
    EXPECT_EQ(connect->err(), "Password for alice: \n");
    const auto after = settings_of(path);
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->c_lflag & (ECHO | ECHONL), static_cast<tcflag_t>(ECHO));
    EXPECT_TRUE(fake().starts().empty());
    EXPECT_EQ(status_reply(), kNotRunning);
}

// SIGINT comes through the signal watch, SIGQUIT through a handler of its own.
INSTANTIATE_TEST_SUITE_P(Signals, PromptSignalTest,
                         ::testing::Values(SignalCase{"Interrupt", SIGINT},
                                           SignalCase{"Quit", SIGQUIT}),
                         [](const auto& info) { return info.param.name; });

// Whether process pid is stopped (state T) within the time-out.
bool stops_within(pid_t pid, milliseconds timeout) {
    const support::Deadline deadline(timeout);
    for (;;) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        const std::string text{std::istreambuf_iterator<char>(stat), {}};
        // "pid (name) state ...": the name may hold anything but ends at the last parenthesis.
        const std::size_t name_end = text.rfind(") ");
        if (name_end != std::string::npos && text.compare(name_end + 2, 1, "T") == 0) return true;
        if (deadline.expired()) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

TEST_F(CtlTest, StopAtThePromptEchoesWhileStoppedAndAsksAgainWhenContinued) {
    fake().write_script("h", "out up\nwait-term 20000\n");
    auto connect = CtlProcess::start({connect_args("h"), 0, /*on_terminal=*/true});
    ASSERT_TRUE(connect) << connect.error();
    ASSERT_TRUE(connect->wait_err("Password for alice: "));
    const std::string path = terminal_path(connect->terminal());

    ASSERT_TRUE(connect->signal(SIGTSTP));
    ASSERT_TRUE(stops_within(connect->pid(), kDefaultTimeout));
    const auto stopped = settings_of(path);
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(stopped->c_lflag & ECHO, static_cast<tcflag_t>(ECHO));

    ASSERT_TRUE(connect->signal(SIGCONT));
    ASSERT_TRUE(connect->wait_err("Password for alice: Password for alice: ")) << connect->err();
    const auto continued = settings_of(path);
    ASSERT_TRUE(continued.has_value());
    EXPECT_EQ(continued->c_lflag & ECHO, 0u);
    ASSERT_TRUE(connect->write_input("typed-secret\n"));
    ASSERT_TRUE(fake().wait_for("ready")) << connect->err();
    const std::string config = fake().read("config").value_or("");
    EXPECT_NE(config.find("\npassword = typed-secret\n"), std::string::npos) << config;
}

}  // namespace
}  // namespace marlox::ctltest
