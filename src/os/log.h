// The daemon's only log: whole lines on standard error.
#pragma once

#include <string_view>

#include "os/result.h"

namespace marlox::os {

// Writes "[marlox-helper] " + text + "\n" to standard error as one write(2) where the kernel
// allows it, under the one lock that serializes stderr, so lines of different threads never mix.
// No buffering: when this returns, the line has left the process (or the error says why not).
Result<void> log_line(std::string_view text);

}  // namespace marlox::os
