// Starting marlox-ctl for tests: pipes or a pseudo-terminal, another uid, bounded waits.
#include "ctl_process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "os/io.h"
#include "support/child_fds.h"

namespace marlox::ctltest {
namespace {

std::string errno_text(const char* what) {
    return std::string(what) + ": " + strerrordesc_np(errno);
}

struct Terminal {
    os::UniqueFd master;
    std::string slave_path;
};

Outcome<Terminal> open_terminal() {
    os::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.valid()) return support::Failure{errno_text("posix_openpt")};
    if (::grantpt(master.get()) < 0 || ::unlockpt(master.get()) < 0) {
        return support::Failure{errno_text("unlockpt")};
    }
    std::array<char, 128> name{};
    if (::ptsname_r(master.get(), name.data(), name.size()) != 0) {
        return support::Failure{errno_text("ptsname_r")};
    }
    return Terminal{std::move(master), name.data()};
}

// In the forked child of a threaded process: system calls only, no allocation.
[[noreturn]] void exec_ctl(const CtlStart& how, pid_t parent, int program, int input,
                           const char* slave, int out, int err, char* const argv[],
                           char* const envp[]) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || ::getppid() != parent) ::_exit(127);
    // The test process ignores SIGPIPE and its threads may block signals; marlox-ctl must start
    // as a shell would start it.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    (void)::sigaction(SIGPIPE, &default_action, nullptr);
    sigset_t none;
    (void)::sigemptyset(&none);
    (void)::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    // A SIGQUIT or a fault leaves no core file in the build tree.
    const rlimit no_core{0, 0};
    (void)::setrlimit(RLIMIT_CORE, &no_core);
    if (slave != nullptr) {
        // A process group of its own in the test's session, as a shell starts a job, so that
        // a stop signal stops it (the kernel does not stop an orphaned group, such as that of
        // a new session's leader). The terminal is therefore not its controlling terminal.
        if (::setpgid(0, 0) < 0) ::_exit(126);
        input = ::open(slave, O_RDWR | O_NOCTTY);  // NOLINT(android-cloexec-open): becomes stdin
        if (input < 0) ::_exit(126);
    }
    const bool out_installed =
        out < 0 ? ::close(1) == 0 || errno == EBADF : support::install_descriptor(out, 1);
    if (!support::install_descriptor(input, 0) || !out_installed ||
        !support::install_descriptor(err, 2)) {
        ::_exit(126);
    }
    if (how.uid != 0) {
        if (::setgroups(0, nullptr) < 0 || ::setresgid(how.uid, how.uid, how.uid) < 0 ||
            ::setresuid(how.uid, how.uid, how.uid) < 0) {
            ::_exit(125);
        }
        (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);  // the uid change cleared it
    }
    // Through the descriptor opened as root: another uid may not be able to reach the build
    // directory (a checkout under /root, which is 0700).
    (void)::fexecve(program, argv, envp);
    ::_exit(124);
}

}  // namespace

Outcome<CtlProcess> CtlProcess::start(const CtlStart& how) {
    std::optional<Terminal> terminal;
    if (how.on_terminal) {
        auto opened = open_terminal();
        if (!opened) return support::Failure{opened.error()};
        terminal.emplace(std::move(*opened));
    }
    auto input = os::make_pipe();
    auto out = os::make_pipe();
    auto err = os::make_pipe();
    if (!input || !out || !err) return support::Failure{"no pipes for marlox-ctl"};
    switch (how.output) {
        case Output::kPipe:
            break;
        case Output::kUnread: {
            // Nobody will ever read its standard output; the collector reads an empty pipe.
            auto empty = os::make_pipe();
            if (!empty) return support::Failure{"no pipe for marlox-ctl"};
            out->read_end = std::move(empty->read_end);
            break;
        }
        case Output::kClosed:
            out->write_end.reset();  // the collector sees the end of file at once
            break;
        case Output::kTerminal: {
            auto shown = open_terminal();
            if (!shown) return support::Failure{shown.error()};
            os::UniqueFd slave(::open(shown->slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
            termios raw{};
            if (!slave.valid() || ::tcgetattr(slave.get(), &raw) < 0) {
                return support::Failure{errno_text("open the terminal for standard output")};
            }
            // Output exactly as written: no carriage return before each line feed.
            ::cfmakeraw(&raw);
            if (::tcsetattr(slave.get(), TCSANOW, &raw) < 0) {
                return support::Failure{errno_text("tcsetattr")};
            }
            // The master reports the end (EIO) once the child, the only holder of the slave
            // after this function, has ended.
            out->write_end = std::move(slave);
            out->read_end = std::move(shown->master);
            break;
        }
    }
    // Opened after the pipes, which take any free number below 3 first, so the child's dup2s
    // cannot replace it. Close-on-exec does no harm to an ELF program (a #! script could not
    // be run this way: its interpreter would find the descriptor closed).
    const os::UniqueFd program(::open(MARLOX_CTL_PATH, O_PATH | O_CLOEXEC));
    if (!program.valid()) return support::Failure{errno_text("open " MARLOX_CTL_PATH)};

    std::vector<std::string> strings{MARLOX_CTL_PATH};
    strings.insert(strings.end(), how.args.begin(), how.args.end());
    std::vector<char*> argv;
    argv.reserve(strings.size() + 1);
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::string path_entry = "PATH=/usr/bin:/bin";
    std::array<char*, 2> envp{path_entry.data(), nullptr};

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return support::Failure{errno_text("fork")};
    if (pid == 0) {
        exec_ctl(how, parent, program.get(), input->read_end.get(),
                 terminal ? terminal->slave_path.c_str() : nullptr, out->write_end.get(),
                 err->write_end.get(), argv.data(), envp.data());
    }
    auto pidfd = support::open_pidfd(pid);
    if (!pidfd) {
        (void)::kill(pid, SIGKILL);
        return support::Failure{pidfd.error()};
    }
    return CtlProcess(pid, std::move(*pidfd), std::move(input->write_end),
                      terminal ? std::move(terminal->master) : os::UniqueFd(),
                      std::make_unique<support::OutputCollector>(std::move(out->read_end)),
                      std::make_unique<support::OutputCollector>(std::move(err->read_end)));
}

CtlProcess::~CtlProcess() {
    if (pidfd_.valid()) support::kill_and_reap(pidfd_.get());
}

bool CtlProcess::write_input(std::string_view bytes) {
    const int fd = terminal_.valid() ? terminal_.get() : input_.get();
    return static_cast<bool>(os::write_all(fd, bytes));
}

void CtlProcess::close_input() { input_.reset(); }

bool CtlProcess::signal(int sig) {
    return pidfd_.valid() && ::syscall(SYS_pidfd_send_signal, pidfd_.get(), sig, nullptr, 0) == 0;
}

std::optional<ExitStatus> CtlProcess::wait_exit(milliseconds timeout) {
    if (!pidfd_.valid()) return std::nullopt;
    const support::Deadline deadline(timeout);
    auto status = support::reap_within(pidfd_.get(), timeout);
    if (!status) return std::nullopt;
    pidfd_.reset();
    // Output still in the pipes is part of the run.
    (void)out_->wait_closed(milliseconds(deadline.poll_ms()));
    (void)err_->wait_closed(milliseconds(deadline.poll_ms()));
    return status;
}

bool CtlProcess::running() const { return pidfd_.valid() && !support::has_ended(pidfd_.get()); }

Outcome<CtlResult> run_ctl(const CtlStart& how, std::string_view input, milliseconds timeout) {
    auto ctl = CtlProcess::start(how);
    if (!ctl) return support::Failure{ctl.error()};
    // A marlox-ctl that ends before reading all of its input is judged by what it did.
    if (!input.empty()) (void)ctl->write_input(input);
    ctl->close_input();
    auto status = ctl->wait_exit(timeout);
    if (!status) {
        return support::Failure{"marlox-ctl still runs after the time-out; stdout: " + ctl->out() +
                                " stderr: " + ctl->err()};
    }
    return CtlResult{*status, ctl->out(), ctl->err()};
}

std::string describe(const ExitStatus& status) {
    return status.exited ? "exit " + std::to_string(status.code)
                         : "signal " + std::to_string(status.signal);
}

}  // namespace marlox::ctltest
