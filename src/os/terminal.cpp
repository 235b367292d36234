// Terminal checks and echo control.
#include "os/terminal.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace marlox::os {
namespace {

Result<void> set_attributes(int fd, const termios& settings) {
    // TCSAFLUSH: what was typed before the prompt appeared is not taken as the secret.
    while (::tcsetattr(fd, TCSAFLUSH, &settings) < 0) {
        if (errno != EINTR) return last_errno();
    }
    return {};
}

}  // namespace

bool is_terminal(int fd) noexcept { return ::isatty(fd) == 1; }

Result<EchoOff> EchoOff::start(int fd) {
    termios saved{};
    if (::tcgetattr(fd, &saved) < 0) return last_errno();
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    auto set = set_attributes(fd, quiet);
    if (!set) return set.error();
    return EchoOff(fd, saved);
}

EchoOff::EchoOff(EchoOff&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), saved_(other.saved_) {}

EchoOff::~EchoOff() {
    if (fd_ >= 0) (void)set_attributes(fd_, saved_);
}

}  // namespace marlox::os
