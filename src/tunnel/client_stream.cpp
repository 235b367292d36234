// Whole sends under one lock, and how the tunnel process's exit ends or bounds the waits.
#include "tunnel/client_stream.h"

#include <cerrno>

#include "os/io.h"
#include "os/poll.h"

namespace marlox::tunnel {

bool ClientStream::send(std::string_view bytes) {
    const std::lock_guard lock(send_mutex_);
    if (broken_) return false;
    while (!bytes.empty()) {
        // Partial sends continue under the lock, so the two relays' bytes never interleave.
        const auto sent = os::send_some_nowait(conn_, bytes);
        if (sent) {
            bytes.remove_prefix(*sent);
            note_progress();
        } else if (sent.error().code != EAGAIN || !wait_writable()) {
            broken_ = true;
            return false;
        }
    }
    return true;
}

bool ClientStream::wait_readable(int fd) {
    for (;;) {
        if (exited()) return true;
        const auto woke = os::wait_ready(fd, os::Readiness::kReadable, pidfd_, /*timeout_ms=*/-1);
        if (!woke) return false;
        if (woke->watched) note_exit();
        if (woke->ready) return true;
        // Otherwise a signal came: wait again.
    }
}

void ClientStream::check_exit() {
    if (exited()) return;
    const auto woke = os::wait_ready(pidfd_, os::Readiness::kReadable, -1, /*timeout_ms=*/0);
    if (woke && woke->ready) note_exit();
}

bool ClientStream::drain_expired() const {
    const Clock::rep deadline = deadline_.load();
    return deadline != kNoDeadline && Clock::now().time_since_epoch().count() >= deadline;
}

bool ClientStream::wait_writable() {
    for (;;) {
        if (drain_expired()) return false;
        // Once the exit is known the pidfd stays readable for good: stop watching it.
        const auto woke =
            os::wait_ready(conn_, os::Readiness::kWritable, exited() ? -1 : pidfd_, time_left_ms());
        if (!woke) return false;
        if (woke->watched) note_exit();
        if (woke->ready) return true;
        // Otherwise the time ran out or a signal came: the loop's first line decides.
    }
}

void ClientStream::note_progress() {
    const Clock::rep deadline = deadline_.load();
    if (deadline == kNoDeadline) return;
    const Clock::rep now = Clock::now().time_since_epoch().count();
    // An expired drain stays expired: a relay may already have given up on it.
    if (now >= deadline) return;
    Clock::rep expected = deadline;
    (void)deadline_.compare_exchange_strong(expected,
                                            (Clock::now() + kDrainTime).time_since_epoch().count());
}

void ClientStream::note_exit() {
    Clock::rep unset = kNoDeadline;
    const Clock::rep deadline = (Clock::now() + kDrainTime).time_since_epoch().count();
    (void)deadline_.compare_exchange_strong(unset, deadline);
}

int ClientStream::time_left_ms() const {
    const Clock::rep deadline = deadline_.load();
    if (deadline == kNoDeadline) return -1;
    const auto left = Clock::duration(deadline) - Clock::now().time_since_epoch();
    if (left <= Clock::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace marlox::tunnel
