// Descriptor I/O with EINTR and partial transfers handled once, here.
#include "os/io.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace marlox::os {

Result<void> send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_errno();
        }
        if (n == 0) return Errno{EPIPE};
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

Result<void> write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_errno();
        }
        if (n == 0) return Errno{EIO};
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

Result<std::size_t> recv_some(int fd, std::span<char> buffer) {
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return last_errno();
    }
}

Result<std::size_t> recv_some_nowait(int fd, std::span<char> buffer) {
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return last_errno();
    }
}

Result<std::size_t> read_some(int fd, std::span<char> buffer) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return last_errno();
    }
}

Result<std::size_t> send_some_nowait(int fd, std::string_view bytes) {
    for (;;) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0 || (n == 0 && bytes.empty())) return static_cast<std::size_t>(n);
        if (n == 0) return Errno{EPIPE};
        if (errno != EINTR) return last_errno();
    }
}

Result<std::size_t> bytes_waiting(int fd) {
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) < 0) return last_errno();
    return static_cast<std::size_t>(count);
}

Result<void> set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return last_errno();
    if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return last_errno();
    return {};
}

Result<UniqueFd> dup_cloexec(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return last_errno();
    return UniqueFd(copy);
}

Result<void> shutdown_both(int fd) {
    if (::shutdown(fd, SHUT_RDWR) < 0) return last_errno();
    return {};
}

Result<Pipe> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) return last_errno();
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace marlox::os
