// Watch queues with a bound, and the feed that fills them all.
#include "tunnel/state_feed.h"

#include <algorithm>

#include "os/event.h"

namespace marlox::tunnel {

os::Result<std::shared_ptr<WatchQueue>> WatchQueue::create() {
    auto event = os::make_event();
    if (!event) return event.error();
    return std::make_shared<WatchQueue>(std::move(*event));
}

void WatchQueue::push(std::string_view line) {
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        if (gave_up_) return;
        if (lines_.size() + line.size() > kMaxQueued) {
            gave_up_ = true;
            std::string().swap(lines_);  // its memory goes now, not when the watcher ends
        } else {
            lines_.append(line);
        }
        // Once per batch: a watcher that has not taken the last lines has been woken already.
        wake = gave_up_ || lines_.size() == line.size();
    }
    if (wake) (void)os::notify_event(event_.get());
}

bool WatchQueue::take(std::string& out) {
    (void)os::clear_event(event_.get());
    const std::lock_guard lock(mutex_);
    if (gave_up_) return false;
    out.append(lines_);
    lines_.clear();
    return true;
}

void StateFeed::publish(std::string_view line) {
    const std::lock_guard lock(mutex_);
    for (const auto& queue : queues_) queue->push(line);
}

void StateFeed::add(std::shared_ptr<WatchQueue> queue) {
    const std::lock_guard lock(mutex_);
    queues_.push_back(std::move(queue));
}

void StateFeed::remove(const WatchQueue* queue) {
    const std::lock_guard lock(mutex_);
    const auto found = std::find_if(queues_.begin(), queues_.end(),
                                    [queue](const auto& q) { return q.get() == queue; });
    if (found == queues_.end()) return;
    std::swap(*found, queues_.back());  // the order of the queues does not matter
    queues_.pop_back();
}

}  // namespace marlox::tunnel
