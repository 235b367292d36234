// "watch": the tunnel's state now, then every change, until the client goes away.
#pragma once

#include "tunnel/record.h"

namespace marlox::control {

// Unsent bytes past this bound close the watch: a client that stops reading gives up its place
// rather than making the daemon hold its lines.
inline constexpr std::size_t kMaxUnsentWatchBytes = 4096;

// Serves a "watch" request on the calling connection thread: sends the record's snapshot line,
// then each change line as it comes, and returns once the client has closed the connection (or
// a send fails, or the client fell behind by more than kMaxUnsentWatchBytes; bytes the client
// sends are read and dropped, and the end of its sending side alone ends nothing). Sends never
// wait, so neither the tunnel nor anybody else waits for this client. conn is borrowed. Never
// throws.
void serve_watch(int conn, tunnel::TunnelRecord& record) noexcept;

}  // namespace marlox::control
