// Starting, watching and stopping the daemon under test.
#include "support/daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "os/io.h"
#include "support/child_fds.h"
#include "support/paths.h"

namespace marlox::support {
namespace {

const std::string kStartLine = "[marlox-helper] listening on " + kSocketPath + "\n";

// Sanitizer settings of the test run reach the daemon too, so its reports look the same.
constexpr const char* kPassedThrough[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                                          "TSAN_OPTIONS"};

std::vector<std::string> environment_for(const DaemonOptions& options) {
    std::vector<std::string> env;
    env.push_back("PATH=" + (options.path_variable.empty() ? fake_bin_dir() + ":/usr/bin:/bin"
                                                           : options.path_variable));
    if (options.marlox_uid) env.push_back("MARLOX_UID=" + *options.marlox_uid);
    for (const char* name : kPassedThrough) {
        if (const char* value = std::getenv(name)) {  // NOLINT(concurrency-mt-unsafe)
            env.push_back(std::string(name) + "=" + value);
        }
    }
    env.insert(env.end(), options.extra_env.begin(), options.extra_env.end());
    return env;
}

std::string errno_text(int code) { return strerrordesc_np(code); }

// The leftovers of DaemonOptions::unclean_inheritance, made in the forked child below.
bool inherit_uncleanly(int dev_null) {
    struct sigaction ignored {};
    ignored.sa_handler = SIG_IGN;
    sigset_t blocked;
    (void)::sigemptyset(&blocked);
    (void)::sigaddset(&blocked, SIGUSR1);
    (void)::sigaddset(&blocked, SIGTERM);
    // F_DUPFD, not F_DUPFD_CLOEXEC: the copy is meant to survive the exec.
    return ::fcntl(dev_null, F_DUPFD, 10) >= 10 &&  // NOLINT(android-cloexec-dup)
           ::sigaction(SIGCHLD, &ignored, nullptr) == 0 &&
           ::sigaction(SIGHUP, &ignored, nullptr) == 0 &&
           ::sigprocmask(SIG_BLOCK, &blocked, nullptr) == 0;  // NOLINT(concurrency-mt-unsafe)
}

// Runs in the forked child of a possibly threaded test process: async-signal-safe calls only,
// and no allocation. On any failure the errno goes up exec_error and the child exits.
[[noreturn]] void exec_daemon(const DaemonOptions& options, pid_t parent, int dev_null,
                              int stderr_write, int exec_error, char* const argv[],
                              char* const envp[]) {
    // Dies with the test even if the test is killed; the check covers a parent that died
    // before the prctl.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || ::getppid() != parent) ::_exit(127);
    // A fresh process, as a shell would start it: no blocked signals, no ignored ones.
    sigset_t none;
    (void)::sigemptyset(&none);
    // The child has one thread only, so the process-wide mask is this thread's.
    (void)::sigprocmask(SIG_SETMASK, &none, nullptr);  // NOLINT(concurrency-mt-unsafe)
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) (void)::sigaction(sig, &by_default, nullptr);
    ::umask(options.umask);
    const auto limit = [](int resource, rlim_t value) {
        const rlimit both{value, value};
        return ::setrlimit(resource, &both) == 0;
    };
    bool ok = true;
    if (options.max_open_files) ok = ok && limit(RLIMIT_NOFILE, *options.max_open_files);
    if (options.max_processes) ok = ok && limit(RLIMIT_NPROC, *options.max_processes);
    if (options.close_standard_streams) {
        (void)::close(0);
        (void)::close(1);
        (void)::close(2);
    } else {
        ok = ok && install_descriptor(dev_null, 0) && install_descriptor(dev_null, 1) &&
             install_descriptor(stderr_write, 2);
    }
    // Whatever the test process holds must not leak into the daemon; exec_error stays open
    // until the exec succeeds.
    ok = ok && ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
    if (ok && options.unclean_inheritance) ok = inherit_uncleanly(dev_null);
    if (ok) (void)::execve(argv[0], argv, envp);
    const int code = errno;
    (void)!::write(exec_error, &code, sizeof code);
    ::_exit(127);
}

// Waits for the exec to happen (the close-on-exec pipe closes) or to fail (an errno arrives).
Outcome<bool> await_exec(int exec_error) {
    const Deadline deadline(kDefaultTimeout);
    pollfd fd{exec_error, POLLIN, 0};
    if (::poll(&fd, 1, deadline.poll_ms()) <= 0) return Failure{"the daemon never reached exec"};
    int code = 0;
    if (::read(exec_error, &code, sizeof code) == sizeof code) {
        return Failure{"cannot start " + daemon_path() + ": " + errno_text(code)};
    }
    return true;
}

bool is_listening_socket_file() {
    struct stat st {};
    return ::stat(kSocketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
           (st.st_mode & 07777) == 0666;
}

}  // namespace

Outcome<Daemon> Daemon::start(const DaemonOptions& options) {
    std::vector<std::string> env = environment_for(options);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = daemon_path();
    char* argv[] = {program.data(), nullptr};

    const int dev_null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (dev_null_fd < 0) return Failure{"open /dev/null: " + errno_text(errno)};
    const os::UniqueFd dev_null(dev_null_fd);
    auto stderr_pipe = os::make_pipe();
    auto exec_error = os::make_pipe();
    if (!stderr_pipe || !exec_error) return Failure{"no pipe for the daemon"};
    // Closed before the fork: closed after it, the daemon's first writes could still find a
    // reader and succeed.
    if (options.broken_stderr) stderr_pipe->read_end.reset();

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return Failure{"fork: " + errno_text(errno)};
    if (pid == 0) {
        exec_daemon(options, parent, dev_null.get(),
                    options.stderr_fd >= 0 ? options.stderr_fd : stderr_pipe->write_end.get(),
                    exec_error->write_end.get(), argv, envp.data());
    }
    // Only this object reaps it, so the pid cannot have been reused before the pidfd exists.
    auto pidfd = open_pidfd(pid);
    if (!pidfd) {
        (void)::kill(pid, SIGKILL);
        (void)::waitpid(pid, nullptr, 0);
        return Failure{pidfd.error()};
    }
    exec_error->write_end.reset();
    stderr_pipe->write_end.reset();
    std::unique_ptr<OutputCollector> collector;
    if (!options.broken_stderr && !options.close_standard_streams && options.stderr_fd < 0) {
        collector = std::make_unique<OutputCollector>(std::move(stderr_pipe->read_end));
    }
    Daemon daemon(pid, std::move(*pidfd), std::move(collector));  // from here on it reaps

    auto execed = await_exec(exec_error->read_end.get());
    if (!execed) return Failure{execed.error()};
    if (options.wait_until_listening) {
        auto listening = daemon.wait_listening();
        if (!listening) return Failure{listening.error()};
    }
    return daemon;
}

Daemon::~Daemon() { kill(); }

std::string Daemon::stderr_text() const { return stderr_ ? stderr_->text() : std::string(); }

bool Daemon::wait_for_stderr(std::string_view text, milliseconds timeout) const {
    return stderr_ && stderr_->wait_for(text, timeout);
}

Outcome<bool> Daemon::wait_listening(milliseconds timeout) {
    const Deadline deadline(timeout);
    for (;;) {
        // With stderr captured the start line is the proof: it follows listen and chmod.
        if (stderr_ ? stderr_->text().find(kStartLine) != std::string::npos
                    : is_listening_socket_file()) {
            return true;
        }
        if (!running())
            return Failure{"the daemon ended during start-up; stderr: " + stderr_text()};
        if (deadline.expired()) {
            return Failure{"the daemon did not listen in time; stderr: " + stderr_text()};
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
}

bool Daemon::running() { return pidfd_.valid() && !has_ended(pidfd_.get()); }

std::optional<ExitStatus> Daemon::wait_exit(milliseconds timeout) {
    if (!pidfd_.valid()) return std::nullopt;
    auto status = reap_within(pidfd_.get(), timeout);
    if (status) pidfd_.reset();
    return status;
}

void Daemon::kill() {
    if (!pidfd_.valid()) return;
    kill_and_reap(pidfd_.get());
    pidfd_.reset();
}

}  // namespace marlox::support
