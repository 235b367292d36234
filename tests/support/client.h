// Clients of the daemon's socket: in-process for uid 0, or forked as another user.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "os/unique_fd.h"
#include "support/deadline.h"
#include "support/outcome.h"
#include "support/paths.h"

namespace marlox::support {

// How the daemon's side of a connection looked when the client stopped reading.
enum class StreamEnd {
    kOpen,   // still open: the time ran out first
    kEof,    // the daemon closed or shut down its side
    kReset,  // ECONNRESET: the daemon closed while bytes the client sent were still unread
    kError,  // any other receive error
};
std::ostream& operator<<(std::ostream& out, StreamEnd end);

// What a client received, and how the stream ended.
struct Received {
    std::string bytes;
    StreamEnd end = StreamEnd::kOpen;
};

// One connection to the daemon from the test process itself (so as uid 0). Owns the socket.
// Every call waits at most its time-out; none blocks for ever. Not thread-safe.
class Client {
public:
    static Outcome<Client> connect(const std::string& path = kSocketPath);

    int fd() const { return fd_.get(); }

    // Sends all of bytes, waiting for room in the socket; false on an error or time-out.
    bool send(std::string_view bytes, milliseconds timeout = kDefaultTimeout);
    // The same in pieces of piece_size bytes with a pause after each, so the daemon sees
    // several receives.
    bool send_in_pieces(std::string_view bytes, std::size_t piece_size, milliseconds pause);
    // Ends the client's sending side: the daemon reads end of stream.
    bool shut_write();

    // The next line with its line feed; nullopt when the stream ended (end() tells how) or the
    // time ran out first. Bytes after the line stay buffered for the next read.
    std::optional<std::string> read_line(milliseconds timeout = kDefaultTimeout);
    // All remaining bytes until the daemon's side ends or the time runs out.
    Received read_to_end(milliseconds timeout = kDefaultTimeout);
    // Whether the daemon's side has ended, within the time-out, discarding what arrives.
    bool wait_closed(milliseconds timeout = kDefaultTimeout);

    StreamEnd end() const { return end_; }
    void close() { fd_.reset(); }

private:
    explicit Client(os::UniqueFd fd) : fd_(std::move(fd)) {}
    // One receive into buffered_ if data comes before the deadline; false once the stream has
    // ended or the time ran out.
    bool receive_more(const Deadline& deadline);

    os::UniqueFd fd_;
    std::string buffered_;
    StreamEnd end_ = StreamEnd::kOpen;
};

// One whole exchange as uid 0: connect, send request, read until the daemon closes. A failed
// send is not an error: what the daemon sent before closing still counts.
Outcome<Received> exchange(std::string_view request, milliseconds timeout = kDefaultTimeout);

// The same exchange made by a forked child that drops to uid (and gid uid, no supplementary
// groups) before it connects, so the daemon sees that user as its peer.
Outcome<Received> exchange_as(uid_t uid, std::string_view request,
                              milliseconds timeout = kDefaultTimeout);

// Connections held open by a forked child running as another user, which sends nothing on
// them. The child ends, and the connections close, when this object is destroyed.
class HeldConnections {
public:
    // Returns once the child has connected count times.
    static Outcome<HeldConnections> open_as(uid_t uid, int count);

    HeldConnections(HeldConnections&&) noexcept = default;
    HeldConnections& operator=(HeldConnections&&) = delete;
    ~HeldConnections();

private:
    HeldConnections(os::UniqueFd pidfd, os::UniqueFd hold) noexcept
        : pidfd_(std::move(pidfd)), hold_(std::move(hold)) {}

    os::UniqueFd pidfd_;
    os::UniqueFd hold_;  // the child holds on until this pipe end closes
};

}  // namespace marlox::support
