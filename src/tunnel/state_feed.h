// StateFeed: the tunnel's state lines handed to every watcher, in order, without waiting.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::tunnel {

// The lines one watcher has not yet taken, and the event that wakes its thread.
//
// The publisher only appends in memory and notifies the event: it never touches the watcher's
// connection, so a watcher that stops reading holds up nobody. Past kMaxQueued bytes the queue
// gives up: it drops what it holds, takes nothing more, and its watcher is to be closed.
// Thread-safe.
class WatchQueue {
public:
    static constexpr std::size_t kMaxQueued = 4096;

    static os::Result<std::shared_ptr<WatchQueue>> create();

    // Readable while lines wait (or the queue gave up). Borrowed.
    int event_fd() const noexcept { return event_.get(); }

    // Publisher: appends line, or gives up if that would pass kMaxQueued.
    void push(std::string_view line);
    // Watcher: moves every waiting line to the end of out and clears the event. False once the
    // queue has given up.
    bool take(std::string& out);

    explicit WatchQueue(os::UniqueFd event) noexcept : event_(std::move(event)) {}

private:
    const os::UniqueFd event_;
    std::mutex mutex_;
    std::string lines_;     // guarded by mutex_
    bool gave_up_ = false;  // guarded by mutex_
};

// Every queue that watches the tunnel. Publishing and adding are done under the TunnelRecord's
// lock, so each watcher gets the snapshot it was added with and then every later line, in
// order. Thread-safe; its own lock is taken after the record's, never the other way round.
class StateFeed {
public:
    void publish(std::string_view line);
    void add(std::shared_ptr<WatchQueue> queue);
    void remove(const WatchQueue* queue);

    // Removes its queue from the feed when it goes: on every way out of a watcher's thread.
    // The feed must outlive it.
    class Subscription {
    public:
        Subscription(StateFeed& feed, const WatchQueue* queue) : feed_(&feed), queue_(queue) {}
        Subscription(Subscription&& other) noexcept
            : feed_(std::exchange(other.feed_, nullptr)), queue_(other.queue_) {}
        Subscription& operator=(Subscription&&) = delete;
        ~Subscription() {
            if (feed_ != nullptr) feed_->remove(queue_);
        }

    private:
        StateFeed* feed_;
        const WatchQueue* queue_;
    };

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<WatchQueue>> queues_;  // guarded by mutex_
};

}  // namespace marlox::tunnel
