// Terminal checks.
#include "os/terminal.h"

#include <unistd.h>

namespace marlox::os {

bool is_terminal(int fd) noexcept { return ::isatty(fd) == 1; }

}  // namespace marlox::os
