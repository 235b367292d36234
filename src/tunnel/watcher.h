// The connection watcher: ends the tunnel when its client goes away.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "os/unique_fd.h"
#include "tunnel/record.h"

namespace marlox::tunnel {

// Thread entry. Reads conn (a duplicate of the control connection, owned and closed here),
// discarding what arrives, until the client ends its sending side or a receive fails; then, if
// record still holds the tunnel of that generation (see TunnelRecord::record_pid), logs that
// the app closed its connection, naming pid, and sends SIGTERM. The connection thread's
// shutdown after the tunnel's end wakes it too, with the record already cleared, so it does
// nothing. Never throws.
void watch_connection(os::UniqueFd conn, std::shared_ptr<TunnelRecord> record, pid_t pid,
                      std::uint64_t generation) noexcept;

}  // namespace marlox::tunnel
