// The daemon's watch states in words, for people.
#pragma once

#include <string>

#include "marlox.h"

namespace marlox::ctl {

// One state event (MARLOX_EVENT_STATE) as a person reads it: "up (pid 1234, uid 1000)",
// "stopping: disconnect from uid 1001", "ended: exit status 1". A state or member this client
// does not know yet is shown by its name or left out, never refused: the daemon may add them.
// Control characters from the line never reach the output.
std::string describe_state(const marlox_event& event);

}  // namespace marlox::ctl
