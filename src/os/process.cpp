// Standard descriptors, SIGPIPE and kill.
#include "os/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace marlox::os {

void ensure_standard_descriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // open returns the lowest free number, which is fd itself since lower ones are open.
        // Deliberately without O_CLOEXEC: this is a standard stream, inherited like the others.
        const int opened = ::open("/dev/null", O_RDWR);  // NOLINT(android-cloexec-open)
        if (opened != fd) std::abort();
    }
}

Result<void> ignore_sigpipe() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    if (::sigemptyset(&action.sa_mask) < 0) return last_errno();
    if (::sigaction(SIGPIPE, &action, nullptr) < 0) return last_errno();
    return {};
}

Result<void> send_signal(pid_t pid, int sig) {
    if (::kill(pid, sig) < 0) return last_errno();
    return {};
}

}  // namespace marlox::os
