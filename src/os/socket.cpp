// Unix-domain socket set-up and peer credentials.
#include "os/socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace marlox::os {
namespace {

// Fills addr and returns the address length: the family field plus the path and its NUL.
Result<socklen_t> make_address(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof addr.sun_path) return Errno{ENAMETOOLONG};
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
}

Result<UniqueFd> stream_socket(int flags = 0) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0) return last_errno();
    return UniqueFd(fd);
}

// Connects fd to path, again after an interruption.
Result<UniqueFd> connect_to(UniqueFd fd, const std::string& path) {
    sockaddr_un addr;
    auto length = make_address(path, addr);
    if (!length) return length.error();
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), *length) == 0) break;
        if (errno != EINTR) return last_errno();
    }
    return fd;
}

Result<UniqueFd> connect_with(const std::string& path, int flags) {
    auto fd = stream_socket(flags);
    if (!fd) return fd;
    return connect_to(std::move(*fd), path);
}

}  // namespace

Result<UniqueFd> listen_unix(const std::string& path) {
    sockaddr_un addr;
    auto length = make_address(path, addr);
    if (!length) return length.error();
    auto fd = stream_socket();
    if (!fd) return fd;
    if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&addr), *length) < 0) {
        return last_errno();
    }
    // A negative backlog is raised by the kernel to its own maximum (somaxconn).
    if (::listen(fd->get(), -1) < 0) return last_errno();
    return fd;
}

Result<UniqueFd> accept_connection(int listen_fd) {
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return last_errno();
    return UniqueFd(fd);
}

Result<uid_t> peer_uid(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) < 0) return last_errno();
    if (length != sizeof cred) return Errno{EPROTO};
    return cred.uid;
}

Result<UniqueFd> connect_unix(const std::string& path) { return connect_with(path, 0); }

Result<UniqueFd> connect_unix_nowait(const std::string& path) {
    return connect_with(path, SOCK_NONBLOCK);
}

Result<UniqueFd> connect_unix_within(const std::string& path, int timeout_ms) {
    auto fd = stream_socket();
    if (!fd) return fd;
    // A Unix socket's connect waits only while the listener's queue is full, and for no longer
    // than the send time-out.
    if (timeout_ms >= 0) {
        // A zero time-out would mean none at all: the shortest one stands in for it.
        const timeval limit{timeout_ms / 1000, timeout_ms == 0 ? 1 : (timeout_ms % 1000) * 1000};
        if (::setsockopt(fd->get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) < 0) {
            return last_errno();
        }
    }
    auto connected = connect_to(std::move(*fd), path);
    if (!connected) {
        const int code = connected.error().code;
        return code == EAGAIN || code == EINPROGRESS ? Errno{ETIMEDOUT} : connected.error();
    }
    const int flags = ::fcntl(connected->get(), F_GETFL);
    if (flags < 0 || ::fcntl(connected->get(), F_SETFL, flags | O_NONBLOCK) < 0) {
        return last_errno();
    }
    return connected;
}

Result<void> set_send_buffer(int fd, int bytes) {
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) < 0) return last_errno();
    return {};
}

Result<void> shutdown_sending(int fd) {
    if (::shutdown(fd, SHUT_WR) < 0) return last_errno();
    return {};
}

}  // namespace marlox::os
