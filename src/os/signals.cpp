// signalfd set-up and ending a process by a signal it had blocked.
#include "os/signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "os/io.h"

namespace marlox::os {

Result<UniqueFd> receive_signals(std::initializer_list<int> signals) {
    sigset_t set;
    (void)::sigemptyset(&set);
    for (const int sig : signals) (void)::sigaddset(&set, sig);
    // Blocked first: a signal arriving between the two calls stays pending for the signalfd.
    const int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) return Errno{rc};
    const int fd = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (fd < 0) return last_errno();
    return UniqueFd(fd);
}

Result<int> read_signal(int signal_fd) {
    signalfd_siginfo info{};
    auto got = read_some(signal_fd, {reinterpret_cast<char*>(&info), sizeof info});
    if (!got) return got.error();
    if (*got != sizeof info) return Errno{EIO};
    return static_cast<int>(info.ssi_signo);
}

void end_by_signal(int sig) noexcept {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    (void)::sigemptyset(&action.sa_mask);
    (void)::sigaction(sig, &action, nullptr);
    // Pending, then unblocked: delivered before pthread_sigmask returns.
    (void)::raise(sig);
    sigset_t set;
    (void)::sigemptyset(&set);
    (void)::sigaddset(&set, sig);
    (void)::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::_exit(128 + sig);
}

}  // namespace marlox::os
