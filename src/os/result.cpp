// Rendering of operating-system errors for replies and log lines.
#include "os/result.h"

#include <cerrno>
#include <cstring>

namespace marlox::os {

Errno last_errno() noexcept { return Errno{errno}; }

std::string describe(Errno error) {
    // strerrordesc_np is thread-safe, unlike strerror, and does not depend on the locale.
    const char* text = strerrordesc_np(error.code);
    std::string out = text != nullptr ? text : "Unknown error " + std::to_string(error.code);
    out += " (os error ";
    out += std::to_string(error.code);
    out += ')';
    return out;
}

}  // namespace marlox::os
