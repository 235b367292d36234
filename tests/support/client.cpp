// The in-process client: deadline-bounded sends and reads on one connection.
#include "support/client.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include "os/io.h"
#include "os/socket.h"

namespace marlox::support {

std::ostream& operator<<(std::ostream& out, StreamEnd end) {
    switch (end) {
        case StreamEnd::kOpen:
            return out << "still open";
        case StreamEnd::kEof:
            return out << "end of stream";
        case StreamEnd::kReset:
            return out << "connection reset";
        case StreamEnd::kError:
            return out << "receive error";
    }
    return out << "?";
}

Outcome<Client> Client::connect(const std::string& path) {
    auto fd = os::connect_unix(path);
    if (!fd) return Failure{"connect " + path + ": " + os::describe(fd.error())};
    return Client(std::move(*fd));
}

bool Client::send(std::string_view bytes, milliseconds timeout) {
    const Deadline deadline(timeout);
    while (!bytes.empty()) {
        pollfd fd{fd_.get(), POLLOUT, 0};
        if (::poll(&fd, 1, deadline.poll_ms()) <= 0) return false;
        const ssize_t n =
            ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool Client::send_in_pieces(std::string_view bytes, std::size_t piece_size, milliseconds pause) {
    while (!bytes.empty()) {
        const std::string_view piece = bytes.substr(0, piece_size);
        if (!send(piece)) return false;
        bytes.remove_prefix(piece.size());
        std::this_thread::sleep_for(pause);
    }
    return true;
}

bool Client::shut_write() { return ::shutdown(fd_.get(), SHUT_WR) == 0; }

bool Client::receive_more(const Deadline& deadline) {
    if (end_ != StreamEnd::kOpen) return false;
    pollfd fd{fd_.get(), POLLIN, 0};
    if (::poll(&fd, 1, deadline.poll_ms()) <= 0) return false;
    std::array<char, 65536> chunk;
    const auto n = os::recv_some(fd_.get(), chunk);
    if (!n) {
        end_ = n.error().code == ECONNRESET ? StreamEnd::kReset : StreamEnd::kError;
        return false;
    }
    if (*n == 0) {
        end_ = StreamEnd::kEof;
        return false;
    }
    buffered_.append(chunk.data(), *n);
    return true;
}

std::optional<std::string> Client::read_line(milliseconds timeout) {
    const Deadline deadline(timeout);
    for (;;) {
        const std::size_t newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline + 1);
            buffered_.erase(0, newline + 1);
            return line;
        }
        if (!receive_more(deadline)) return std::nullopt;
    }
}

Received Client::read_to_end(milliseconds timeout) {
    const Deadline deadline(timeout);
    while (receive_more(deadline)) {
    }
    return Received{std::exchange(buffered_, {}), end_};
}

bool Client::wait_closed(milliseconds timeout) {
    const Deadline deadline(timeout);
    while (receive_more(deadline)) buffered_.clear();
    return end_ != StreamEnd::kOpen;
}

Outcome<Received> exchange(std::string_view request, milliseconds timeout) {
    const Deadline deadline(timeout);
    auto client = Client::connect();
    if (!client) return Failure{client.error()};
    // A connection the daemon closes at once (a refused peer, a thread that could not start)
    // may fail the send; whatever it said before closing is still there to read.
    (void)client->send(request, timeout);
    return client->read_to_end(milliseconds(deadline.poll_ms()));
}

}  // namespace marlox::support
