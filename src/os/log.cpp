// Standard-error logger: prefix, text and line feed written whole under one mutex.
#include "os/log.h"

#include <unistd.h>

#include <mutex>
#include <string>

#include "os/io.h"

namespace marlox::os {
namespace {

constexpr std::string_view kPrefix = "[marlox-helper] ";
std::mutex stderr_mutex;

}  // namespace

Result<void> log_line(std::string_view text) {
    std::string line;
    line.reserve(kPrefix.size() + text.size() + 1);
    line.append(kPrefix).append(text).push_back('\n');
    const std::lock_guard lock(stderr_mutex);
    return write_all(STDERR_FILENO, line);
}

}  // namespace marlox::os
