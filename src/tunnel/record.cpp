// TunnelRecord operations, each one hold of the lock.
#include "tunnel/record.h"

#include <signal.h>

#include <utility>
#include <vector>

#include "os/log.h"
#include "os/process.h"

namespace marlox::tunnel {

bool TunnelRecord::is_running() const {
    const std::lock_guard lock(mutex_);
    return state_.phase != Phase::kIdle;
}

void TunnelRecord::change(const TunnelState& next, std::string_view line,
                          std::string_view log_text) {
    state_ = next;
    line_ = next.phase == Phase::kIdle ? watch_line(next) : std::string(line);
    feed_.publish(line);
    if (!log_text.empty()) unwritten_log_.emplace_back(log_text);
}

TunnelRecord::Changing::Changing(TunnelRecord& record) : record_(record) { record_.mutex_.lock(); }

TunnelRecord::Changing::~Changing() {
    const bool to_write = !record_.unwritten_log_.empty();
    record_.mutex_.unlock();
    if (to_write) record_.write_log();
}

void TunnelRecord::write_log() {
    // One writer at a time takes every line waiting, so they reach stderr in the order of the
    // changes, while a stderr that blocks (a journal that does not read) holds up no one who
    // only needs the record.
    const std::lock_guard order(log_order_mutex_);
    std::vector<std::string> lines;
    {
        const std::lock_guard lock(mutex_);
        lines.swap(unwritten_log_);
    }
    // A broken stderr must not stop the tunnel's life: the line is lost, nothing else.
    for (const std::string& line : lines) (void)os::log_line(line);
}

void TunnelRecord::send_term_by_disconnect(uid_t by) {
    (void)os::send_signal(state_.pid, SIGTERM);
    if (state_.phase == Phase::kStopping) return;  // only the first SIGTERM is a change
    TunnelState next = state_;
    next.phase = Phase::kStopping;
    next.stopped_by = by;
    change(next, watch_line(next), stopped_by_disconnect_text(next));
}

void TunnelRecord::signal_if_running(uid_t by) {
    const Changing lock(*this);
    switch (state_.phase) {
        case Phase::kIdle:
            return;
        case Phase::kStarting:
            if (!stop_requested_by_) stop_requested_by_ = by;
            return;
        case Phase::kConnecting:
        case Phase::kUp:
        case Phase::kStopping:
            send_term_by_disconnect(by);
            return;
    }
}

bool TunnelRecord::try_reserve(uid_t uid, const StartDetails& details) {
    const Changing lock(*this);
    if (state_.phase != Phase::kIdle) return false;
    stop_requested_by_.reset();
    early_ready_.reset();
    const TunnelState next{Phase::kStarting, uid, 0, std::nullopt};
    change(next, watch_line(next), starting_text(uid, details));
    return true;
}

void TunnelRecord::release(std::string_view error) {
    const Changing lock(*this);
    const uid_t uid = state_.uid;
    stop_requested_by_.reset();
    change(TunnelState{}, failed_line(error), failed_text(uid, error));
}

std::uint64_t TunnelRecord::record_pid(pid_t pid) {
    const Changing lock(*this);
    const TunnelState next{Phase::kConnecting, state_.uid, pid, std::nullopt};
    change(next, watch_line(next), connecting_text(next));
    if (const auto by = std::exchange(stop_requested_by_, std::nullopt)) {
        send_term_by_disconnect(*by);
    } else if (std::exchange(early_ready_, std::nullopt) == pid) {
        // The process reported before this thread got here: a busy machine can run it first.
        TunnelState up = next;
        up.phase = Phase::kUp;
        change(up, watch_line(up), up_text(up));
    }
    // 64 bits: a new tunnel every microsecond would take half a million years to wrap.
    return ++generation_;
}

bool TunnelRecord::mark_up(pid_t sender) {
    const Changing lock(*this);
    if (state_.phase == Phase::kStarting) early_ready_ = sender;
    // Connecting only: a stopping tunnel is not coming up, and a second READY is no news.
    if (state_.phase != Phase::kConnecting || state_.pid != sender) return false;
    TunnelState next = state_;
    next.phase = Phase::kUp;
    change(next, watch_line(next), up_text(next));
    return true;
}

void TunnelRecord::clear(const std::optional<os::ProcessEnd>& end) {
    const Changing lock(*this);
    const TunnelState ended = state_;
    stop_requested_by_.reset();
    // The idle line goes out with the record already clear: a client that asks for the status
    // once it has read the line hears that nothing runs.
    change(TunnelState{}, end ? ended_line(*end) : watch_line(TunnelState{}),
           ended_text(ended, end));
}

bool TunnelRecord::end_if_current(std::uint64_t generation, std::string_view log_text) {
    const Changing lock(*this);
    // Matched by generation, not by pid: once a tunnel is reaped the system may give its pid to
    // a later tunnel, which a watcher that wakes late must not end.
    const bool running = state_.phase == Phase::kConnecting || state_.phase == Phase::kUp ||
                         state_.phase == Phase::kStopping;
    if (!running || generation_ != generation) return false;
    unwritten_log_.emplace_back(log_text);  // the audit line of this change
    (void)os::send_signal(state_.pid, SIGTERM);
    if (state_.phase != Phase::kStopping) {
        TunnelState next = state_;
        next.phase = Phase::kStopping;
        next.stopped_by.reset();
        change(next, watch_line(next), /*log_text=*/{});
    }
    return true;
}

TunnelRecord::Watch TunnelRecord::watch(std::shared_ptr<WatchQueue> queue) {
    const WatchQueue* const key = queue.get();
    const std::lock_guard lock(mutex_);
    feed_.add(std::move(queue));
    return Watch{line_.empty() ? watch_line(TunnelState{}) : line_,
                 StateFeed::Subscription(feed_, key)};
}

}  // namespace marlox::tunnel
