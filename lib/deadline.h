// Deadline: a time-out in milliseconds turned into the time left at each wait.
#pragma once

#include <algorithm>
#include <chrono>

namespace marlox::lib {

class Deadline {
public:
    // timeout_ms < 0: no limit.
    explicit Deadline(int timeout_ms)
        : unlimited_(timeout_ms < 0),
          end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)) {}

    // For poll: -1 without a limit, else the milliseconds left (0 once passed), rounded up.
    int poll_ms() const {
        if (unlimited_) return -1;
        const auto left = end_ - std::chrono::steady_clock::now();
        if (left <= left.zero()) return 0;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return static_cast<int>(std::min<decltype(ms)>(ms, 1 << 30));
    }
    bool expired() const { return !unlimited_ && poll_ms() == 0; }

private:
    bool unlimited_;
    std::chrono::steady_clock::time_point end_;
};

}  // namespace marlox::lib
