// Termination signals received as readable events on a descriptor instead of by handlers.
#pragma once

#include <initializer_list>

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::os {

// Blocks signals for the calling thread and returns a close-on-exec signalfd that turns
// readable when one of them is pending. Call it before any other thread starts, so that no
// thread is left where the signals would still run their default action.
Result<UniqueFd> receive_signals(std::initializer_list<int> signals);

// Takes one pending signal from a signalfd and returns its number.
Result<int> read_signal(int signal_fd);

// Ends the process by sig at its default action (after the caller's clean-up), so that the
// parent, a shell for example, sees that the process was ended by that signal. Exits with
// 128 + sig should the signal not end it.
[[noreturn]] void end_by_signal(int sig) noexcept;

}  // namespace marlox::os
