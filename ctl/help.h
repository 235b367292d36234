// The text of marlox-ctl --help.
#pragma once

#include <string>

namespace marlox::ctl {

// Usage, commands, options, how the ticket is read, signals and every exit status.
std::string help_text();

}  // namespace marlox::ctl
