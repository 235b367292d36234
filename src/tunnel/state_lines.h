// The texts that describe the tunnel's states: watch lines for clients, audit lines for the log.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "os/child.h"

namespace marlox::tunnel {

enum class Phase { kIdle, kStarting, kConnecting, kUp, kStopping };

// What the TunnelRecord knows of its tunnel.
struct TunnelState {
    Phase phase = Phase::kIdle;
    uid_t uid = 0;  // who sent the connect (not kIdle)
    pid_t pid = 0;  // the openfortivpn process (kConnecting, kUp, kStopping)
    // kStopping: the uid whose disconnect sent the first SIGTERM; nullopt when the app's closed
    // connection did.
    std::optional<uid_t> stopped_by;
};

// What a connect asked for, as far as the log may show it: never the ticket.
struct StartDetails {
    std::string_view host;
    std::string_view port;
    std::string_view username;
};

// Watch lines: compact JSON, members in a fixed order, integers in decimal, a line feed at the
// end. The snapshot and change line of a state ({"state":"idle"} for kIdle).
std::string watch_line(const TunnelState& state);
// The change back to idle: the process ended, or a reserved connect failed to start (error as
// in the connect's reply, e.g. "write conf failed").
std::string ended_line(const os::ProcessEnd& end);
std::string failed_line(std::string_view error);

// Audit lines, without the logger's prefix. Values a client chose are quoted and escaped.
std::string starting_text(uid_t uid, const StartDetails& details);
std::string connecting_text(const TunnelState& state);
std::string up_text(const TunnelState& state);
std::string stopped_by_disconnect_text(const TunnelState& state);
std::string ended_text(const TunnelState& state, const std::optional<os::ProcessEnd>& end);
std::string failed_text(uid_t uid, std::string_view error);

// value in double quotes for a log line: quote and backslash escaped, control characters (C0,
// DEL, C1) and bytes that are not UTF-8 as \xHH or \uHHHH, and anything past
// kMaxLoggedValue bytes cut off and said so, so no value can forge or break a line.
inline constexpr std::size_t kMaxLoggedValue = 256;
std::string quoted_for_log(std::string_view value);

}  // namespace marlox::tunnel
