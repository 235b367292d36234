// UniqueFd: the one owner of a file descriptor.
#pragma once

#include <utility>

namespace marlox::os {

// Sole owner of one descriptor: closes it exactly once, when reset or destroyed.
//
//   Result<UniqueFd> conn = accept_connection(listener.get());
//   if (!conn) return conn.error();
//   UniqueFd mine = std::move(*conn);   // ownership moves, never copies
//   send_all(mine.get(), "...");        // borrowing is get(); closing happens in ~UniqueFd
//
// There is no conversion to int or bool, so `close(fd)` and `if (!fd)` do not compile.
// Even if close(2) fails with EINTR the descriptor is gone, so close is never retried.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the current descriptor (if any) and takes fd; errno is left as it was.
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

}  // namespace marlox::os
