// Waiting for a descriptor to become ready, with an optional second descriptor and a time limit.
#pragma once

#include <span>

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

// One descriptor of wait_any: what is asked for, and what came.
struct PollEntry {
    int fd = -1;
    bool want_read = false;
    bool want_write = false;
    bool readable = false;  // POLLIN
    bool writable = false;  // POLLOUT
    bool hung_up = false;   // POLLHUP or POLLERR, reported whatever was asked for
};

// One poll(2) over entries (at most 4), filling in what came. timeout_ms < 0 waits without
// limit; nothing filled in means the time ran out or a signal interrupted the wait.
Result<void> wait_any(std::span<PollEntry> entries, int timeout_ms);

}  // namespace marlox::os
