// Deadline: the end of a wait, so that every wait in a test can run out instead of hanging.
#pragma once

#include <chrono>

namespace marlox::support {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a harness wait lasts when the caller does not say: long enough for a loaded CI
// machine, short enough that a fault fails the test well before ctest's own time-out.
inline constexpr milliseconds kDefaultTimeout{5000};

class Deadline {
public:
    explicit Deadline(milliseconds timeout) : end_(Clock::now() + timeout) {}

    bool expired() const { return Clock::now() >= end_; }
    Clock::time_point when() const { return end_; }

    // What is left, as a poll(2) time-out: rounded up, 0 once expired, never "wait for ever".
    int poll_ms() const {
        const auto left = end_ - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        return static_cast<int>(std::chrono::ceil<milliseconds>(left).count());
    }

private:
    Clock::time_point end_;
};

}  // namespace marlox::support
