// poll(2) over one or two descriptors.
#include "os/poll.h"

#include <poll.h>

#include <cerrno>
#include <iterator>

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

Result<void> wait_any(std::span<PollEntry> entries, int timeout_ms) {
    pollfd fds[4] = {};
    if (entries.size() > std::size(fds)) return Errno{EINVAL};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PollEntry& e = entries[i];
        e.readable = e.writable = e.hung_up = false;
        fds[i] = {e.fd,
                  static_cast<short>((e.want_read ? POLLIN : 0) | (e.want_write ? POLLOUT : 0)), 0};
    }
    if (::poll(fds, entries.size(), timeout_ms) < 0) {
        if (errno == EINTR) return {};
        return last_errno();
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].readable = (fds[i].revents & POLLIN) != 0;
        entries[i].writable = (fds[i].revents & POLLOUT) != 0;
        entries[i].hung_up = (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return {};
}

}  // namespace marlox::os
