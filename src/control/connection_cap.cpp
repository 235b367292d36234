// Per-user connection counting.
#include "control/connection_cap.h"

namespace marlox::control {

ConnectionCap::Slot::~Slot() {
    if (cap_ != nullptr) cap_->release(uid_);
}

std::optional<ConnectionCap::Slot> ConnectionCap::try_acquire(uid_t uid) {
    // The administrator is never locked out of the daemon by a user's connections, nor counted.
    if (uid == 0) return Slot(nullptr, uid);
    const std::lock_guard lock(mutex_);
    std::size_t& held = held_[uid];
    if (held >= per_user_) return std::nullopt;
    ++held;
    return Slot(this, uid);
}

void ConnectionCap::release(uid_t uid) noexcept {
    const std::lock_guard lock(mutex_);
    const auto found = held_.find(uid);
    if (found != held_.end() && --found->second == 0) held_.erase(found);
}

}  // namespace marlox::control
