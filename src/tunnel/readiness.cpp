// Readiness datagrams: credentials checked by the record, everything else dropped.
#include "tunnel/readiness.h"

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "os/datagram.h"
#include "os/fs.h"

namespace marlox::tunnel {

os::Result<os::UniqueFd> open_readiness_socket() {
    const std::string path(kReadinessPath);
    // One attempt at a leftover file; if something else is in the way, bind says so.
    (void)os::remove_file(path);
    auto socket = os::bind_datagram(path);
    if (!socket) return socket;
    // Until the mode is set, a sender could only report while no tunnel exists, which counts for
    // nothing: the pid check is what keeps others out, the mode only narrows who can try.
    if (auto mode = os::set_mode(path, 0600); !mode) return mode.error();
    return socket;
}

bool says_ready(std::string_view text) {
    for (;;) {
        const std::size_t newline = text.find('\n');
        if (text.substr(0, newline) == "READY=1") return true;
        if (newline == std::string_view::npos) return false;
        text.remove_prefix(newline + 1);
    }
}

void listen_for_readiness(os::UniqueFd socket, std::shared_ptr<TunnelRecord> record) noexcept {
    std::array<char, kMaxReadinessDatagram> buffer;
    for (;;) {
        const auto got = os::receive_datagram(socket.get(), buffer);
        if (!got) {
            // A shortage (memory, buffers) that an immediate retry would not cure.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (got->truncated || !got->sender) continue;
        if (says_ready(std::string_view(buffer.data(), got->size))) {
            (void)record->mark_up(*got->sender);
        }
    }
}

}  // namespace marlox::tunnel
