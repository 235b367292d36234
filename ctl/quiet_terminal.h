// QuietTerminal: echo off while the password is typed, and back on whatever ends or stops us.
#pragma once

#include <string_view>
#include <utility>

#include "os/result.h"

namespace marlox::ctl {

// While it lives, the terminal on fd does not echo what is typed (a line feed still is, so the
// cursor moves on after Enter); the destructor puts the settings back.
//
// Signal handlers cover what the destructor cannot. A signal that would end the program
// (SIGQUIT, SIGALRM, SIGUSR1, a fault, ...) first restores the terminal and ends the prompt
// line, then ends the program as it would have. A stop (Ctrl-Z, SIGTTIN, SIGTTOU) restores the
// terminal while the program is stopped; once continued, echo goes off again and the prompt is
// shown again. Only signals at their default action are taken: one the parent ignored stays
// ignored. SIGINT, SIGTERM and SIGHUP are left to the SignalWatch, whose interruption returns
// through the destructor.
//
// The handlers read one saved state, so at most one QuietTerminal exists at a time.
class QuietTerminal {
public:
    static os::Result<QuietTerminal> start(int fd);

    QuietTerminal(QuietTerminal&& other) noexcept : active_(std::exchange(other.active_, false)) {}
    QuietTerminal& operator=(QuietTerminal&&) = delete;
    ~QuietTerminal();

    // Writes prompt to standard error, and again after each stop. prompt must outlive this.
    os::Result<void> show(std::string_view prompt);

private:
    QuietTerminal() = default;

    bool active_ = true;
};

}  // namespace marlox::ctl
