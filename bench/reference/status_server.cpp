// Reference status server: the least work that answers a status request the way the daemon does.
//
// Per connection: accept, a thread with a 2 MiB stack, the peer's credentials, one read of the
// request line, the reply, close. No JSON parsing and no shared state: the daemon's request path
// is measured against this.
#include <array>
#include <string_view>

#include "os/io.h"
#include "os/socket.h"
#include "protocol/replies.h"
#include "reference/accept_loop.h"

namespace {

using namespace marlox;

void serve(os::UniqueFd conn) noexcept {
    if (!os::peer_uid(conn.get())) return;
    // As much room as the daemon's request reader has for its first receive, and small enough
    // that no stack-clash probe touches pages a waiting connection would not.
    std::array<char, 1024> buffer;
    for (;;) {
        const auto received = os::recv_some(conn.get(), buffer);
        if (!received) return;
        if (*received == 0) break;
        if (std::string_view(buffer.data(), *received).find('\n') != std::string_view::npos) break;
    }
    (void)os::send_all(conn.get(), protocol::kReplyNotRunning);
}

}  // namespace

int main(int argc, char** argv) { marlox::bench::serve_forever(argc, argv, serve); }
