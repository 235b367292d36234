// Process-wide settings and signals by process id.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "os/result.h"

namespace marlox::os {

// What stands in for a standard descriptor that was closed at start.
enum class ClosedStream {
    kSilent,   // /dev/null: reads find the end of file, writes vanish (a daemon's log, say)
    kFailing,  // /dev/null opened the other way round, so reads and writes fail with EBADF as
               // on the closed descriptor (a client whose output must not silently go nowhere)
};

// Reopens any of descriptors 0, 1 and 2 that is closed on /dev/null, so that no socket or pipe
// opened later takes one of those numbers. Aborts without a message when that is impossible.
void ensure_standard_descriptors(ClosedStream closed = ClosedStream::kSilent) noexcept;

// Makes every descriptor above 2 close-on-exec, so that nothing the daemon inherited reaches
// the programs it starts. Uses close_range(2) and, where the kernel lacks it (before 5.11),
// walks /proc/self/fd instead. Call before any thread exists.
Result<void> mark_inherited_cloexec();

// The same by walking /proc/self/fd, for kernels without close_range(CLOSE_RANGE_CLOEXEC).
// Call before any thread exists.
Result<void> mark_listed_cloexec();

// SIGCHLD at its default action: an inherited SIG_IGN (or SA_NOCLDWAIT) would let the kernel
// reap children on its own, before the daemon has cleared what it knows of them.
Result<void> default_sigchld();

// SIGPIPE ignored for the whole process: a write to a vanished peer fails with EPIPE instead.
Result<void> ignore_sigpipe();

// An empty signal mask for the calling thread, and so for every thread it starts later: a
// signal blocked by whoever started the process (SIGTERM, say) would otherwise never arrive.
// Call before any thread exists.
Result<void> clear_signal_mask();

// The variable's value, which is then removed from the environment (nullopt when unset).
// Changes the environment: call before any thread exists.
std::optional<std::string> take_environment_variable(const char* name);

// A copy of the whole environment, "NAME=value" entries in order. Safe from any thread as long
// as nothing changes the environment any more.
std::vector<std::string> environment_entries();

// kill(pid, sig).
Result<void> send_signal(pid_t pid, int sig);

}  // namespace marlox::os
