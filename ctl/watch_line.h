// The daemon's watch lines in words, for people.
#pragma once

#include <string>
#include <string_view>

namespace marlox::ctl {

// One watch line (without its line feed) as a person reads it: "up (pid 1234, uid 1000)",
// "stopping: disconnect from uid 1001", "ended: exit status 1". A state or member this client
// does not know yet is shown by its name or left out, never refused: the daemon may add them.
// Control characters from the line never reach the output. Empty when the line is not a JSON
// object with a string "state".
std::string describe_watch_line(std::string_view line);

}  // namespace marlox::ctl
