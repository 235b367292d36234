// TunnelRecord: the one shared fact of the daemon, the tunnel's state, and who watches it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/child.h"
#include "tunnel/state_feed.h"
#include "tunnel/state_lines.h"

namespace marlox::tunnel {

// Shared by std::shared_ptr between the accept loop, every connection thread, every watcher and
// the readiness listener. Each method takes the mutex for one read or update and releases it
// before returning; none is held across socket I/O, process start or a wait. Only the
// connection thread that reserved the record moves it on (record_pid, release, clear).
//
// Life of one tunnel: idle -> try_reserve() -> starting -> record_pid() -> connecting ->
// mark_up() -> up; a first SIGTERM (disconnect or watcher) makes it stopping; clear() makes it
// idle again. A failed start goes back with release(). Everything but idle counts as running
// for status and for another connect, so two simultaneous connects can never both start a
// process.
//
// Every change is published to the watchers (StateFeed) under the lock, and its audit line is
// written on stderr just after the lock is released, both in the order of the changes.
class TunnelRecord {
public:
    // True from a successful try_reserve() until release() or clear().
    bool is_running() const;

    // "disconnect" from uid `by`: SIGTERM to the recorded process. While the tunnel is still
    // starting the request is remembered and record_pid() delivers it as soon as the process
    // exists. Only the first SIGTERM of a tunnel changes its state.
    void signal_if_running(uid_t by);

    // Claims the record for a connect from uid; false when a tunnel is already starting or
    // running. details go to the audit line only.
    bool try_reserve(uid_t uid, const StartDetails& details);
    // Gives up a reservation whose tunnel failed to start; error is the connect's reply text
    // ("write conf failed", "spawn: ...").
    void release(std::string_view error);
    // Stores the started process's id (and sends a SIGTERM that a disconnect left pending).
    // Returns the tunnel's generation: a number no other tunnel of this record ever gets, even
    // one whose process is later given the same pid by the system.
    [[nodiscard]] std::uint64_t record_pid(pid_t pid);
    // The tunnel process said it is up: counts only from that very process, while connecting.
    // A report that comes while starting, before the new process's pid is recorded, is kept
    // and counts if record_pid() then names the same pid. Returns whether it counted.
    bool mark_up(pid_t sender);
    // Back to no tunnel, saying how the process ended (nullopt: not known). Called after the
    // process has exited and before it is reaped, so no signal sent through the record can
    // reach another process that reuses the pid.
    void clear(const std::optional<os::ProcessEnd>& end);

    // Watcher: if the tunnel of that generation is still the recorded one, sends SIGTERM and
    // writes log_text as a log line. Returns whether it did so.
    bool end_if_current(std::uint64_t generation, std::string_view log_text);

    // A new watcher: queue gets every change from now on; the returned line is the current
    // state's, to be sent first. Atomic with respect to changes: nothing is lost or repeated.
    struct Watch {
        std::string snapshot;
        StateFeed::Subscription subscription;
    };
    Watch watch(std::shared_ptr<WatchQueue> queue);

private:
    // Holds the lock for one change; on release writes the audit lines the change queued.
    class Changing {
    public:
        explicit Changing(TunnelRecord& record);
        ~Changing();
        Changing(const Changing&) = delete;
        Changing& operator=(const Changing&) = delete;

    private:
        TunnelRecord& record_;
    };

    // Under the lock: the state becomes next, its line goes to the watchers and log_text is
    // queued for stderr.
    void change(const TunnelState& next, std::string_view line, std::string_view log_text);
    void send_term_by_disconnect(uid_t by);
    void write_log();

    mutable std::mutex mutex_;
    TunnelState state_;                       // guarded by mutex_
    std::string line_;                        // the current state's watch line; guarded by mutex_
    std::uint64_t generation_ = 0;            // of the tunnel recorded last; guarded by mutex_
    std::optional<uid_t> stop_requested_by_;  // a disconnect while starting; guarded by mutex_
    std::optional<pid_t> early_ready_;        // a report while starting; guarded by mutex_
    StateFeed feed_;
    std::vector<std::string> unwritten_log_;  // audit lines of changes made; guarded by mutex_
    std::mutex log_order_mutex_;              // one writer of audit lines at a time
};

}  // namespace marlox::tunnel
