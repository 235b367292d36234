// marlox-ctl --json: the output lines that are not the daemon's own, as JSON objects.
#pragma once

#include <string>
#include <string_view>

namespace marlox::ctl {

// {"NAME":"TEXT"} and a line feed, TEXT encoded as a JSON string (control characters, DEL and
// C1 escaped, so the line stays one line and a terminal shows them instead of obeying them).
std::string json_line(std::string_view name, std::string_view text);

}  // namespace marlox::ctl
