// ConnectionCap: how many connections one user may hold at once.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace marlox::control {

// Connections one user other than root may hold at once, whatever each is doing (waiting for
// its request, carrying a tunnel's output, watching). Sockets carry no time-outs, so without a
// cap one local user could hold threads, descriptors and memory until nobody else is served.
inline constexpr std::size_t kMaxConnectionsPerUser = 64;

// Counts open connections per peer uid; root is never counted. Shared by std::shared_ptr
// between the accept loop and every connection thread; thread-safe, each call one hold of the
// mutex. Only users that hold connections take memory, so it stays bounded by the cap's own
// effect.
class ConnectionCap {
public:
    // One counted connection; released when destroyed. Movable, not copyable.
    class Slot {
    public:
        Slot(Slot&& other) noexcept : cap_(std::exchange(other.cap_, nullptr)), uid_(other.uid_) {}
        Slot& operator=(Slot&&) = delete;
        ~Slot();

    private:
        friend class ConnectionCap;
        Slot(ConnectionCap* cap, uid_t uid) noexcept : cap_(cap), uid_(uid) {}

        ConnectionCap* cap_;  // null when nothing is counted (root, or moved from)
        uid_t uid_;
    };

    explicit ConnectionCap(std::size_t per_user = kMaxConnectionsPerUser) noexcept
        : per_user_(per_user) {}
    ConnectionCap(const ConnectionCap&) = delete;
    ConnectionCap& operator=(const ConnectionCap&) = delete;

    // A slot for one more connection of uid, or nullopt when uid already holds per_user. The
    // cap must outlive every slot it hands out.
    std::optional<Slot> try_acquire(uid_t uid);

private:
    void release(uid_t uid) noexcept;

    const std::size_t per_user_;
    std::mutex mutex_;
    std::unordered_map<uid_t, std::size_t> held_;  // only uids holding at least one
};

}  // namespace marlox::control
