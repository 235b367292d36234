// Program start with posix_spawnp and supervision through a pidfd.
#include "os/child.h"

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "os/io.h"

extern char** environ;

namespace marlox::os {
namespace {

// posix_spawn attributes and file actions as RAII, so every early return cleans up.
struct SpawnAttr {
    posix_spawnattr_t attr;
    int rc = posix_spawnattr_init(&attr);
    ~SpawnAttr() {
        if (rc == 0) (void)posix_spawnattr_destroy(&attr);
    }
};
struct FileActions {
    posix_spawn_file_actions_t actions;
    int rc = posix_spawn_file_actions_init(&actions);
    ~FileActions() {
        if (rc == 0) (void)posix_spawn_file_actions_destroy(&actions);
    }
};

Result<void> prepare(SpawnAttr& spawn_attr, FileActions& file_actions, int out, int err) {
    if (spawn_attr.rc != 0) return Errno{spawn_attr.rc};
    if (file_actions.rc != 0) return Errno{file_actions.rc};
    // An ignored signal stays ignored across exec, and so does the signal mask. The daemon
    // ignores SIGPIPE (the program must not: its writes to a closed relay pipe should end it)
    // and may have inherited other ignored or blocked signals: the program gets none of them.
    sigset_t defaults;
    sigset_t empty;
    (void)sigfillset(&defaults);
    (void)sigemptyset(&empty);
    int rc = posix_spawnattr_setsigdefault(&spawn_attr.attr, &defaults);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&spawn_attr.attr, &empty);
    if (rc == 0) {
        rc = posix_spawnattr_setflags(&spawn_attr.attr,
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    // dup2 onto 1 and 2 clears close-on-exec on the copies only; the pipe ends themselves stay
    // close-on-exec and vanish at exec.
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&file_actions.actions, out, STDOUT_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&file_actions.actions, err, STDERR_FILENO);
    if (rc != 0) return Errno{rc};
    return {};
}

Result<UniqueFd> open_pidfd(pid_t pid) {
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);  // always close-on-exec
    if (fd < 0) return last_errno();
    return UniqueFd(static_cast<int>(fd));
}

// Pointers into strings, ended by the null pointer exec wants.
std::vector<char*> pointers_to(std::span<const std::string> strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

Result<Child> Child::spawn(std::span<const std::string> argv) { return spawn_with(argv, environ); }

Result<Child> Child::spawn(std::span<const std::string> argv, std::span<const std::string> env) {
    const std::vector<char*> envp = pointers_to(env);
    return spawn_with(argv, envp.data());
}

Result<Child> Child::spawn_with(std::span<const std::string> argv, char* const* envp) {
    if (argv.empty()) return Errno{EINVAL};
    auto out = make_pipe();
    if (!out) return out.error();
    auto err = make_pipe();
    if (!err) return err.error();

    SpawnAttr attr;
    FileActions actions;
    auto prepared = prepare(attr, actions, out->write_end.get(), err->write_end.get());
    if (!prepared) return prepared.error();

    const std::vector<char*> args = pointers_to(argv);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions.actions, &attr.attr, args.data(), envp);
    if (rc != 0) return Errno{rc};

    // Nobody else waits for our children, so the pid cannot have been reaped and reused yet.
    auto pidfd = open_pidfd(pid);
    if (!pidfd) {
        const Errno error = pidfd.error();
        (void)::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return error;
    }
    return Child(pid, std::move(*pidfd), std::move(out->read_end), std::move(err->read_end));
}

Child::~Child() {
    if (!pidfd_.valid()) return;
    (void)send_signal(SIGKILL);
    reap();
}

Result<void> Child::send_signal(int sig) {
    if (::syscall(SYS_pidfd_send_signal, pidfd_.get(), sig, nullptr, 0) < 0) return last_errno();
    return {};
}

Result<ProcessEnd> Child::wait_exited() {
    siginfo_t info{};
    while (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED | WNOWAIT) < 0) {
        if (errno != EINTR) return last_errno();
    }
    // CLD_KILLED and CLD_DUMPED both mean a signal; only CLD_EXITED carries an exit status.
    return ProcessEnd{info.si_code != CLD_EXITED, info.si_status};
}

void Child::reap() noexcept {
    if (!pidfd_.valid()) return;
    siginfo_t info{};
    while (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED) < 0) {
        if (errno != EINTR) break;
    }
    pidfd_.reset();
}

}  // namespace marlox::os
