// Unix-domain stream sockets: the listener, accepted connections and the peer's user id.
#pragma once

#include <sys/types.h>

#include <string>

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::os {

// socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC), bind to path, listen with the kernel's largest
// backlog. The caller removes any stale file first; an existing one makes bind fail.
Result<UniqueFd> listen_unix(const std::string& path);

// One accept4(SOCK_CLOEXEC). EINTR and every other failure are the caller's to judge.
Result<UniqueFd> accept_connection(int listen_fd);

// The user id of the process at the other end, as the kernel recorded it at connect time.
Result<uid_t> peer_uid(int fd);

// A connected client socket (for tools and tests): socket + connect to path.
Result<UniqueFd> connect_unix(const std::string& path);

// The same without ever waiting: the socket is non-blocking, so a listener whose queue is full
// fails it with EAGAIN instead of holding the caller until it accepts. ECONNREFUSED: the file is
// a socket nobody listens on.
Result<UniqueFd> connect_unix_nowait(const std::string& path);

// A connected client socket that waits at most timeout_ms for the listener to take it (negative:
// no limit; ETIMEDOUT when the time runs out), then set non-blocking for its owner's event loop.
Result<UniqueFd> connect_unix_within(const std::string& path, int timeout_ms);

// SO_SNDBUF: how many bytes the kernel holds for the peer before sends must wait (the kernel
// doubles the value for its own bookkeeping and keeps a minimum of its own).
Result<void> set_send_buffer(int fd, int bytes);

// shutdown(SHUT_WR): the peer reads end of stream while this side can still receive.
Result<void> shutdown_sending(int fd);

}  // namespace marlox::os
