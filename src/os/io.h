// Thin wrappers over descriptor I/O: whole sends and writes, receives, duplicates, pipes.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::os {

// Sends all of bytes on a stream socket with MSG_NOSIGNAL, continuing partial sends and
// retrying EINTR. A send that reports 0 bytes counts as a failure (EPIPE).
Result<void> send_all(int fd, std::string_view bytes);

// Writes all of bytes to fd, continuing short writes and retrying EINTR.
Result<void> write_all(int fd, std::string_view bytes);

// One recv(2) with no flags, retried on EINTR. 0 means the peer ended its sending side.
Result<std::size_t> recv_some(int fd, std::span<char> buffer);

// One recv(2) with MSG_DONTWAIT, retried on EINTR: EAGAIN when nothing is there to read now.
Result<std::size_t> recv_some_nowait(int fd, std::span<char> buffer);

// One read(2), retried on EINTR. 0 means end of file.
Result<std::size_t> read_some(int fd, std::span<char> buffer);

// One send(2) with MSG_DONTWAIT | MSG_NOSIGNAL, retried on EINTR: never blocks, whatever the
// socket's own mode, so a socket shared with a blocking reader can still be written without
// waiting. EAGAIN when the socket cannot take a byte now; a send of 0 bytes counts as EPIPE.
Result<std::size_t> send_some_nowait(int fd, std::string_view bytes);

// How many bytes a read of fd (a pipe or socket) would find waiting now (FIONREAD).
Result<std::size_t> bytes_waiting(int fd);

// Sets O_NONBLOCK on fd's open file description (shared with its duplicates).
Result<void> set_nonblocking(int fd);

// A close-on-exec duplicate numbered 3 or higher (F_DUPFD_CLOEXEC).
Result<UniqueFd> dup_cloexec(int fd);

// shutdown(SHUT_RDWR): wakes every thread blocked on the connection, whatever descriptor it uses.
Result<void> shutdown_both(int fd);

struct Pipe {
    UniqueFd read_end;
    UniqueFd write_end;
};
// A pipe whose two ends are both close-on-exec.
Result<Pipe> make_pipe();

}  // namespace marlox::os
