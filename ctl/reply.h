// What the daemon's first line means: one of its fixed replies, or output of the tunnel.
#pragma once

#include <string_view>

namespace marlox::ctl {

enum class ReplyKind {
    kUnauthorized,
    kTooManyConnections,
    kBadJson,
    kRequestTooLong,
    kUnknownCmd,
    kAlreadyConnected,
    kWriteConfFailed,
    kInvalidField,  // detail: the member name
    kSpawnFailed,   // detail: the daemon's error text
    kOk,
    kRunning,
    kNotRunning,
    kOther,  // none of the above: for connect, the tunnel's first output line
};

struct Reply {
    ReplyKind kind;
    std::string_view detail;  // points into the classified line
};

// Classifies line (without its line feed) by exact form. A reply is recognised only when the
// line is byte for byte one of the daemon's replies; "invalid field: " must be followed by a
// member name (lower-case letters and underscores) and "spawn: " by some text. Anything else,
// even a near miss, is kOther.
//
// A successful connect has no acknowledgement: its first line is already the tunnel's output.
// An output line that happens to read exactly like an error reply is therefore taken as that
// reply. Only the first line is ever classified.
Reply classify_reply(std::string_view line);

bool is_error(ReplyKind kind);

}  // namespace marlox::ctl
