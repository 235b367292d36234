// Terminals: whether a descriptor is one.
#pragma once

namespace marlox::os {

// isatty(3): true when fd refers to a terminal.
bool is_terminal(int fd) noexcept;

}  // namespace marlox::os
