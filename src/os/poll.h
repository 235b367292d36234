// Waiting for a descriptor to become ready, with an optional second descriptor and a time limit.
#pragma once

#include "os/result.h"

namespace marlox::os {

enum class Readiness { kReadable, kWritable };

struct Wakeup {
    bool ready = false;    // fd is ready for what was asked, or has an error or hang-up to report
    bool watched = false;  // watch_fd is readable
};

// One poll(2) on fd for `wanted` and, if watch_fd >= 0, on watch_fd for reading (a pidfd turns
// readable when its process exits). timeout_ms < 0 waits without limit. A wakeup with neither
// flag set means the time ran out or a signal interrupted the wait: the caller decides.
Result<Wakeup> wait_ready(int fd, Readiness wanted, int watch_fd, int timeout_ms);

}  // namespace marlox::os
