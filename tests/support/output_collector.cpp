// The reader thread of OutputCollector and the waits on what it gathered.
#include "support/output_collector.h"

#include <poll.h>

#include <array>
#include <cstdlib>

#include "os/io.h"

namespace marlox::support {

OutputCollector::OutputCollector(os::UniqueFd read_end) {
    auto stop = os::make_pipe();
    if (!stop) std::abort();  // a test process out of descriptors cannot report anything sane
    stop_write_ = std::move(stop->write_end);
    auto started = os::JoinableThread::start(
        [this, fd = std::move(read_end), stop_read = std::move(stop->read_end)]() noexcept {
            read_until_closed(fd.get(), stop_read.get());
        });
    if (!started) std::abort();
    reader_.emplace(std::move(*started));
}

OutputCollector::~OutputCollector() {
    stop_write_.reset();  // the reader sees the hang-up and returns
    reader_.reset();      // joins
}

void OutputCollector::read_until_closed(int fd, int stop_fd) noexcept {
    std::array<char, 65536> buffer;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;  // EINTR; nothing else can fail here
        if (fds[1].revents != 0) break;
        const auto n = os::read_some(fd, buffer);
        const std::lock_guard lock(mutex_);
        if (!n || *n == 0) break;
        text_.append(buffer.data(), *n);
        changed_.notify_all();
    }
    const std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

std::string OutputCollector::text() const {
    const std::lock_guard lock(mutex_);
    return text_;
}

bool OutputCollector::wait_for(std::string_view needle, milliseconds timeout) const {
    const Deadline deadline(timeout);
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline.when(),
                        [&] { return closed_ || text_.find(needle) != std::string::npos; });
    return text_.find(needle) != std::string::npos;
}

bool OutputCollector::wait_closed(milliseconds timeout) const {
    const Deadline deadline(timeout);
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline.when(), [&] { return closed_; });
}

}  // namespace marlox::support
