// Unix-domain datagram sockets: one that learns each sender's pid, and one-off sends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::os {

// socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC) with SO_PASSCRED, bound to address (as for
// send_datagram), so every datagram received carries its sender's credentials. The caller
// removes any stale file first.
Result<UniqueFd> bind_datagram(const std::string& address);

struct Datagram {
    std::size_t size = 0;         // bytes placed in the buffer
    bool truncated = false;       // the datagram was longer than the buffer; the rest is lost
    std::optional<pid_t> sender;  // the sending process, as the kernel recorded it
};

// Receives one datagram into buffer (recvmsg, retried on EINTR). Any descriptors a sender
// passed along are closed at once: nothing a sender does can make this process hold files.
Result<Datagram> receive_datagram(int fd, std::span<char> buffer);

// Sends bytes as one datagram to address: an absolute path, or "@name" for the abstract
// name "name". Any other form fails with EAFNOSUPPORT.
Result<void> send_datagram(std::string_view address, std::string_view bytes);

}  // namespace marlox::os
