// Datagram sockets: SO_PASSCRED, credentials and passed descriptors, abstract addresses.
#include "os/datagram.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace marlox::os {
namespace {

Result<UniqueFd> datagram_socket() {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return last_errno();
    return UniqueFd(fd);
}

// Fills addr from an absolute path or an "@" abstract name; returns the address length.
Result<socklen_t> make_address(std::string_view address, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (address.empty() || (address.front() != '/' && address.front() != '@')) {
        return Errno{EAFNOSUPPORT};
    }
    const bool abstract = address.front() == '@';
    // A path needs room for its terminating NUL; an abstract name has none.
    if (address.size() + (abstract ? 0 : 1) > sizeof addr.sun_path) return Errno{ENAMETOOLONG};
    std::memcpy(addr.sun_path, address.data(), address.size());
    if (abstract) addr.sun_path[0] = '\0';
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() +
                                  (abstract ? 0 : 1));
}

// Room for the credentials and a few descriptors; descriptors beyond it are never installed.
constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int));

}  // namespace

Result<UniqueFd> bind_datagram(const std::string& address) {
    sockaddr_un addr;
    auto length = make_address(address, addr);
    if (!length) return length.error();
    auto fd = datagram_socket();
    if (!fd) return fd;
    const int on = 1;
    if (::setsockopt(fd->get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) < 0) return last_errno();
    if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&addr), *length) < 0) {
        return last_errno();
    }
    return fd;
}

Result<Datagram> receive_datagram(int fd, std::span<char> buffer) {
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[kControlSize];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = 0;
    // MSG_TRUNC: the datagram's real length, so an oversized one is known as such.
    while ((n = ::recvmsg(fd, &message, MSG_TRUNC | MSG_CMSG_CLOEXEC)) < 0) {
        if (errno != EINTR) return last_errno();
    }
    Datagram got;
    got.truncated = static_cast<std::size_t>(n) > buffer.size();
    got.size = got.truncated ? buffer.size() : static_cast<std::size_t>(n);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len == CMSG_LEN(sizeof(ucred))) {
            ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
            got.sender = cred.pid;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int passed = -1;
                std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                const UniqueFd closed(passed);
            }
        }
    }
    return got;
}

Result<void> send_datagram(std::string_view address, std::string_view bytes) {
    sockaddr_un addr;
    auto length = make_address(address, addr);
    if (!length) return length.error();
    auto fd = datagram_socket();
    if (!fd) return fd.error();
    for (;;) {
        if (::sendto(fd->get(), bytes.data(), bytes.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&addr), *length) >= 0) {
            return {};
        }
        if (errno != EINTR) return last_errno();
    }
}

}  // namespace marlox::os
