// OutputCollector: gathers what a process writes to a pipe, and waits for expected text.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "os/thread.h"
#include "os/unique_fd.h"
#include "support/deadline.h"

namespace marlox::support {

// Takes ownership of the read end of a pipe and reads it on a thread of its own until end of
// file, so the writer never blocks on a full pipe. Every method may be called from any thread.
// The destructor stops the reader at once, even if some process still holds the write end.
class OutputCollector {
public:
    explicit OutputCollector(os::UniqueFd read_end);
    ~OutputCollector();
    OutputCollector(const OutputCollector&) = delete;
    OutputCollector& operator=(const OutputCollector&) = delete;

    // Everything read so far.
    std::string text() const;

    // Whether needle appeared before the time-out (returns early, false, once the pipe closed
    // without it).
    bool wait_for(std::string_view needle, milliseconds timeout = kDefaultTimeout) const;

    // Whether the writer side closed (end of file) before the time-out.
    bool wait_closed(milliseconds timeout = kDefaultTimeout) const;

private:
    void read_until_closed(int fd, int stop_fd) noexcept;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string text_;
    bool closed_ = false;
    os::UniqueFd stop_write_;                   // closing it tells the reader to stop
    std::optional<os::JoinableThread> reader_;  // last: joined before the rest goes
};

}  // namespace marlox::support
