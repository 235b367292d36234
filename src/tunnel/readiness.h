// The readiness socket: how the tunnel process itself says that the tunnel is up.
#pragma once

#include <memory>
#include <string_view>

#include "os/result.h"
#include "os/unique_fd.h"
#include "tunnel/record.h"

namespace marlox::tunnel {

// A datagram socket; the tunnel finds it in NOTIFY_SOCKET and sends "READY=1" there once the
// tunnel is up, as a service tells systemd.
inline constexpr std::string_view kReadinessPath = "/run/marlox/notify";

// Longer datagrams are dropped unread: a readiness report is a few short lines.
inline constexpr std::size_t kMaxReadinessDatagram = 4096;

// Replaces any file left at kReadinessPath by a socket bound there, mode 0600, that learns the
// pid of each sender.
os::Result<os::UniqueFd> open_readiness_socket();

// Whether text, lines separated by line feeds, holds the line "READY=1".
bool says_ready(std::string_view text);

// Thread entry, for the life of the daemon: reads the socket and marks the tunnel up when its
// own process sends a datagram that says_ready. Every other datagram (another sender, an
// oversized one, one without credentials, any after the first READY) changes nothing. Owns
// socket. Never throws.
void listen_for_readiness(os::UniqueFd socket, std::shared_ptr<TunnelRecord> record) noexcept;

}  // namespace marlox::tunnel
