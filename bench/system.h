// The few process-level calls the benchmark needs beyond the daemon's own os layer.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "os/result.h"

namespace marlox::bench {

// Binds the calling process (and every thread and program it starts later) to one CPU.
os::Result<void> pin_to_cpu(int cpu);

// Raises the soft limit on open descriptors to at least `wanted` (the hard limit too, as root),
// so the benchmark and the servers it starts can hold thousands of connections.
os::Result<void> raise_descriptor_limit(std::size_t wanted);

// A receive on fd that waits longer than timeout fails with EAGAIN: every read of a benchmark
// client is bounded in time without a poll per read.
os::Result<void> set_receive_timeout(int fd, std::chrono::milliseconds timeout);

// The same for sends: one that cannot go on for longer than timeout fails with EAGAIN.
os::Result<void> set_send_timeout(int fd, std::chrono::milliseconds timeout);

// Prepends dir to this process's PATH, so every program it starts finds dir's programs first.
// Call before any thread exists (the environment is not thread-safe).
void prepend_to_path(const std::string& dir);

// What /proc/PID/status says about a process: resident memory and number of threads.
struct ProcessUsage {
    std::size_t resident_kib = 0;
    std::size_t threads = 0;
};
std::optional<ProcessUsage> process_usage(pid_t pid);

// The CPU time pid has used so far, user and system, all its threads (ended ones too), from
// /proc/PID/stat; in clock ticks of 10 ms. nullopt when it cannot be read.
std::optional<double> cpu_seconds(pid_t pid);

// Reads pid's usage every few milliseconds until done(usage) holds or timeout has passed; the
// last reading either way, nullopt when /proc could not be read.
std::optional<ProcessUsage> wait_for_usage(pid_t pid,
                                           const std::function<bool(const ProcessUsage&)>& done,
                                           std::chrono::milliseconds timeout);

// One line describing the machine: CPU model, CPUs online, kernel release.
std::string machine_description();

}  // namespace marlox::bench
