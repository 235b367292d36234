// Closing of owned descriptors.
#include "os/unique_fd.h"

#include <unistd.h>

#include <cerrno>

namespace marlox::os {

void UniqueFd::reset(int fd) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) {
        const int saved = errno;
        (void)::close(old);
        errno = saved;
    }
}

}  // namespace marlox::os
