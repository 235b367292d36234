// Waiting for and reaping the harness's own child processes through their pidfds.
#pragma once

#include <sys/types.h>

#include <optional>

#include "os/unique_fd.h"
#include "support/deadline.h"
#include "support/outcome.h"

namespace marlox::support {

// How a process ended.
struct ExitStatus {
    bool exited = false;  // ended by exit(): code holds the status; otherwise signal says which
    int code = 0;
    int signal = 0;
};

// A pidfd for a child of this process. Taken before anyone reaps the child, it can never refer
// to another process that reuses the pid.
Outcome<os::UniqueFd> open_pidfd(pid_t child);

// Whether the process has ended (it may still be unreaped).
bool has_ended(int pidfd);

// Waits up to timeout for the child to end, then reaps it; nullopt if it still runs.
std::optional<ExitStatus> reap_within(int pidfd, milliseconds timeout);

// SIGKILL and reap, for clean-up.
void kill_and_reap(int pidfd);

}  // namespace marlox::support
