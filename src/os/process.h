// Process-wide settings and signals by process id.
#pragma once

#include <sys/types.h>

#include "os/result.h"

namespace marlox::os {

// Reopens any of descriptors 0, 1 and 2 that is closed on /dev/null, so that no socket or pipe
// opened later takes one of those numbers. Aborts without a message when that is impossible.
void ensure_standard_descriptors() noexcept;

// SIGPIPE ignored for the whole process: a write to a vanished peer fails with EPIPE instead.
Result<void> ignore_sigpipe();

// kill(pid, sig).
Result<void> send_signal(pid_t pid, int sig);

}  // namespace marlox::os
