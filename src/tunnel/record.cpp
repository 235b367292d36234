// TunnelRecord operations, each one hold of the lock.
#include "tunnel/record.h"

#include <signal.h>

#include "os/log.h"
#include "os/process.h"

namespace marlox::tunnel {

bool TunnelRecord::is_running() const {
    const std::lock_guard lock(mutex_);
    return state_ != State::kIdle;
}

void TunnelRecord::signal_if_running() {
    const std::lock_guard lock(mutex_);
    if (state_ == State::kRunning) {
        (void)os::send_signal(pid_, SIGTERM);
    } else if (state_ == State::kStarting) {
        stop_requested_ = true;
    }
}

bool TunnelRecord::try_reserve() {
    const std::lock_guard lock(mutex_);
    if (state_ != State::kIdle) return false;
    state_ = State::kStarting;
    stop_requested_ = false;
    return true;
}

void TunnelRecord::release() {
    const std::lock_guard lock(mutex_);
    state_ = State::kIdle;
    stop_requested_ = false;
}

std::uint64_t TunnelRecord::record_pid(pid_t pid) {
    const std::lock_guard lock(mutex_);
    state_ = State::kRunning;
    pid_ = pid;
    if (std::exchange(stop_requested_, false)) (void)os::send_signal(pid_, SIGTERM);
    // 64 bits: a new tunnel every microsecond would take half a million years to wrap.
    return ++generation_;
}

void TunnelRecord::clear() {
    const std::lock_guard lock(mutex_);
    state_ = State::kIdle;
    stop_requested_ = false;
}

bool TunnelRecord::end_if_current(std::uint64_t generation, std::string_view log_text) {
    const std::lock_guard lock(mutex_);
    // Matched by generation, not by pid: once a tunnel is reaped the system may give its pid to
    // a later tunnel, which a watcher that wakes late must not end.
    if (state_ != State::kRunning || generation_ != generation) return false;
    (void)os::log_line(log_text);  // a broken stderr must not keep the tunnel alive
    (void)os::send_signal(pid_, SIGTERM);
    return true;
}

}  // namespace marlox::tunnel
