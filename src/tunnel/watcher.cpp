// Waiting for the client's end of stream, then ending the tunnel if it is still the same one.
#include "tunnel/watcher.h"

#include <array>
#include <string>

#include "os/io.h"

namespace marlox::tunnel {

void watch_connection(os::UniqueFd conn, std::shared_ptr<TunnelRecord> record, pid_t pid,
                      std::uint64_t generation) noexcept {
    // Large pieces: a client that sends on after its request costs a receive per 64 KiB, not per
    // few bytes. On the stack, which with stack-clash probing holds all 64 KiB from the start;
    // there is one watcher per tunnel, and so at most one such frame, out of a 2 MiB stack.
    std::array<char, std::size_t{64} * 1024> discard;
    for (;;) {
        // An interrupted receive is retried (recv_some): a signal is not the client leaving.
        // Any other failure ends the wait like a close.
        const auto received = os::recv_some(conn.get(), discard);
        if (!received || *received == 0) break;
    }
    (void)record->end_if_current(generation,
                                 "App 断开控制连接 → 结束隧道 pid=" + std::to_string(pid));
}

}  // namespace marlox::tunnel
