// TunnelRecord: the one shared fact of the daemon, whether a tunnel runs and its process id.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string_view>
#include <utility>

namespace marlox::tunnel {

// Shared by std::shared_ptr between the accept loop, every connection thread and every watcher.
// Each method takes the mutex for one read or update and releases it before returning; none is
// held across socket I/O, process start or a wait. Only the connection thread that reserved
// the record moves it on (record_pid, release, clear).
//
// Life of one tunnel: idle -> try_reserve() -> starting -> record_pid() -> running -> clear().
// A failed start goes back with release(). "Starting" counts as running for status and for
// another connect, so two simultaneous connects can never both start a process.
class TunnelRecord {
public:
    // True from a successful try_reserve() until release() or clear().
    bool is_running() const;

    // "disconnect": SIGTERM to the recorded process. While the tunnel is still starting the
    // request is remembered and record_pid() delivers it as soon as the process exists.
    void signal_if_running();

    // Claims the record for a new tunnel; false when one is already starting or running.
    bool try_reserve();
    // Gives up a reservation whose tunnel failed to start.
    void release();
    // Stores the started process's id (and sends a SIGTERM that a disconnect left pending).
    // Returns the tunnel's generation: a number no other tunnel of this record ever gets, even
    // one whose process is later given the same pid by the system.
    [[nodiscard]] std::uint64_t record_pid(pid_t pid);
    // Back to no tunnel. Called after the process has exited and before it is reaped, so no
    // signal sent through the record can reach another process that reuses the pid.
    void clear();

    // Watcher: if the tunnel of that generation is still the recorded one, writes log_text as a
    // log line and sends SIGTERM, both under the lock (a failed log write does not stop the
    // signal). Returns whether it did so.
    bool end_if_current(std::uint64_t generation, std::string_view log_text);

private:
    enum class State { kIdle, kStarting, kRunning };

    mutable std::mutex mutex_;
    State state_ = State::kIdle;
    pid_t pid_ = 0;                 // meaningful in kRunning only
    std::uint64_t generation_ = 0;  // of the tunnel recorded last
    bool stop_requested_ = false;   // a disconnect arrived while kStarting
};

}  // namespace marlox::tunnel
