// Giving a forked child its standard descriptors before it execs a program.
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace marlox::support {

// Makes target a copy of fd that stays open across exec. dup2 does that, except when fd already
// is target (a test process started without stdin gets its first pipe as descriptor 0): then it
// does nothing and fd's close-on-exec flag would close target at exec. Async-signal-safe.
inline bool install_descriptor(int fd, int target) {
    if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
    return ::dup2(fd, target) == target;
}

}  // namespace marlox::support
