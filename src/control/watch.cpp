// One watcher's loop: its queue's event and its connection, polled together.
#include "control/watch.h"

#include <array>
#include <cerrno>
#include <string>

#include "os/io.h"
#include "os/poll.h"
#include "os/socket.h"

namespace marlox::control {
namespace {

// What the kernel may hold for a client that stops reading (it doubles this for its
// bookkeeping). Lines are short and a reading client takes them at once; a small buffer makes
// one that does not read reach kMaxUnsentWatchBytes after a few dozen lines, not thousands.
constexpr int kSendBuffer = 4096;

// Sends what the connection takes now. False once the connection has failed.
bool send_waiting(int conn, std::string& unsent) {
    std::size_t done = 0;
    while (done < unsent.size()) {
        const auto sent = os::send_some_nowait(conn, std::string_view(unsent).substr(done));
        if (!sent) {
            if (sent.error().code != EAGAIN) return false;
            break;
        }
        done += *sent;
    }
    unsent.erase(0, done);
    return true;
}

}  // namespace

void serve_watch(int conn, tunnel::TunnelRecord& record) noexcept {
    auto created = tunnel::WatchQueue::create();
    if (!created) return;  // no event to wait on: closed without a reply
    const std::shared_ptr<tunnel::WatchQueue> queue = std::move(*created);
    (void)os::set_send_buffer(conn, kSendBuffer);
    // Removed from the feed on every way out (the subscription's destructor).
    auto watch = record.watch(queue);
    std::string unsent = std::move(watch.snapshot);

    // The client's bytes are dropped in pieces as large as the relays read.
    std::array<char, std::size_t{64} * 1024> discard;
    bool client_sends = true;  // until the end of its sending side
    for (;;) {
        if (!send_waiting(conn, unsent) || unsent.size() > kMaxUnsentWatchBytes) return;
        std::array<os::PollEntry, 2> entries;
        entries[0].fd = queue->event_fd();
        entries[0].want_read = true;
        entries[1].fd = conn;
        entries[1].want_read = client_sends;
        entries[1].want_write = !unsent.empty();
        if (!os::wait_any(entries, /*timeout_ms=*/-1)) return;
        // A hang-up comes only once the client has closed both directions: it is gone.
        if (entries[1].hung_up) return;
        if (entries[1].readable) {
            const auto got = os::recv_some_nowait(conn, discard);
            if (got && *got == 0) {
                client_sends = false;  // it may still read: the stream goes on
            } else if (!got && got.error().code != EAGAIN) {
                return;
            }
        }
        // False once the queue gave up on this watcher: it fell too far behind.
        if (entries[0].readable && !queue->take(unsent)) return;
    }
}

}  // namespace marlox::control
