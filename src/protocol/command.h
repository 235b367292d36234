// The command a request names.
#pragma once

#include "protocol/request.h"

namespace marlox::protocol {

enum class Command { kStatus, kDisconnect, kConnect, kWatch, kUnknown };

// The "cmd" member compared byte for byte with the command words "status", "disconnect",
// "connect" and "watch"; kUnknown for any other word, or when there is no string "cmd".
Command command_of(const Request& request);

}  // namespace marlox::protocol
