// Whole sends under one lock, and waits bounded only once the tunnel process has exited.
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
        } else if (sent.error().code != EAGAIN || !wait_for(conn_, /*writable=*/true)) {
            broken_ = true;
            return false;
        }
    }
    return true;
}

bool ClientStream::wait_readable(int fd) { return wait_for(fd, /*writable=*/false); }

void ClientStream::check_exit() {
    if (deadline_.load() != kNoDeadline) return;
    const auto woke = os::wait_ready(pidfd_, os::Readiness::kReadable, -1, /*timeout_ms=*/0);
    if (woke && woke->ready) note_exit();
}

bool ClientStream::drain_expired() const {
    const Clock::rep deadline = deadline_.load();
    return deadline != kNoDeadline && Clock::now().time_since_epoch().count() >= deadline;
}

bool ClientStream::wait_for(int fd, bool writable) {
    const auto wanted = writable ? os::Readiness::kWritable : os::Readiness::kReadable;
    for (;;) {
        if (drain_expired()) return false;
        // Once the exit is known the pidfd stays readable for good: stop watching it.
        const bool exit_seen = deadline_.load() != kNoDeadline;
        const auto woke = os::wait_ready(fd, wanted, exit_seen ? -1 : pidfd_, time_left_ms());
        if (!woke) return false;
        if (woke->ready) return true;
        if (woke->watched) note_exit();
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
