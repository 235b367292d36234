// poll(2) over one or two descriptors.
#include "os/poll.h"

#include <poll.h>

#include <cerrno>

namespace marlox::os {

Result<Wakeup> wait_ready(int fd, Readiness wanted, int watch_fd, int timeout_ms) {
    pollfd fds[2] = {
        {fd, static_cast<short>(wanted == Readiness::kReadable ? POLLIN : POLLOUT), 0},
        {watch_fd, POLLIN, 0},
    };
    const nfds_t count = watch_fd >= 0 ? 2 : 1;
    if (::poll(fds, count, timeout_ms) < 0) {
        if (errno == EINTR) return Wakeup{};
        return last_errno();
    }
    // Errors and hang-ups count as ready: the next read or send on fd reports them.
    return Wakeup{fds[0].revents != 0, count == 2 && fds[1].revents != 0};
}

}  // namespace marlox::os
