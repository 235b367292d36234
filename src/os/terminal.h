// Terminals: whether a descriptor is one, and echo switched off while a secret is typed.
#pragma once

#include <termios.h>

#include "os/result.h"

namespace marlox::os {

// isatty(3): true when fd refers to a terminal.
bool is_terminal(int fd) noexcept;

// While this object lives, the terminal on fd does not echo what is typed (a line feed still
// is, so the cursor moves on after Enter). The destructor puts the earlier settings back, so
// every return path, an interrupted prompt included, leaves the terminal as it was found.
//
//   auto quiet = os::EchoOff::start(STDIN_FILENO);
//   if (!quiet) return quiet.error();
//   ... read the password ...
class EchoOff {
public:
    static Result<EchoOff> start(int fd);

    EchoOff(EchoOff&& other) noexcept;
    EchoOff& operator=(EchoOff&&) = delete;
    ~EchoOff();

private:
    EchoOff(int fd, const termios& saved) noexcept : fd_(fd), saved_(saved) {}

    int fd_;  // borrowed: the caller keeps the terminal open while this lives
    termios saved_;
};

}  // namespace marlox::os
