// pidfd-based waits on child processes, each bounded by a deadline.
#include "support/reap.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace marlox::support {
namespace {

std::optional<ExitStatus> reap_now(int pidfd) {
    siginfo_t info{};
    while (::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    ExitStatus status;
    status.exited = info.si_code == CLD_EXITED;
    (status.exited ? status.code : status.signal) = info.si_status;
    return status;
}

}  // namespace

Outcome<os::UniqueFd> open_pidfd(pid_t child) {
    const long fd = ::syscall(SYS_pidfd_open, child, 0);
    if (fd < 0) return Failure{std::string("pidfd_open: ") + strerrordesc_np(errno)};
    return os::UniqueFd(static_cast<int>(fd));
}

bool has_ended(int pidfd) {
    pollfd fd{pidfd, POLLIN, 0};
    return ::poll(&fd, 1, 0) != 0;
}

std::optional<ExitStatus> reap_within(int pidfd, milliseconds timeout) {
    const Deadline deadline(timeout);
    pollfd fd{pidfd, POLLIN, 0};
    int ready = 0;
    while ((ready = ::poll(&fd, 1, deadline.poll_ms())) < 0 && errno == EINTR) {
    }
    if (ready <= 0) return std::nullopt;
    return reap_now(pidfd);
}

void kill_and_reap(int pidfd) {
    (void)::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    (void)reap_now(pidfd);
}

}  // namespace marlox::support
