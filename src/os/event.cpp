// eventfd set-up, wake-up and reset.
#include "os/event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace marlox::os {

Result<UniqueFd> make_event() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return last_errno();
    return UniqueFd(fd);
}

Result<void> notify_event(int event_fd) {
    const std::uint64_t one = 1;
    for (;;) {
        if (::write(event_fd, &one, sizeof one) == sizeof one) return {};
        // EAGAIN: the counter is at its maximum, so the event is readable already.
        if (errno == EAGAIN) return {};
        if (errno != EINTR) return last_errno();
    }
}

Result<void> clear_event(int event_fd) {
    std::uint64_t count = 0;
    for (;;) {
        if (::read(event_fd, &count, sizeof count) == sizeof count) return {};
        // EAGAIN: nothing was pending.
        if (errno == EAGAIN) return {};
        if (errno != EINTR) return last_errno();
    }
}

}  // namespace marlox::os
