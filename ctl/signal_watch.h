// SignalWatch: Ctrl-C, SIGTERM and SIGHUP as events that marlox-ctl's waits can see.
#pragma once

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::ctl {

// While a tunnel runs, marlox-ctl must not just die on a signal: it closes its sending side
// so the daemon ends the tunnel, and reads what is left. The signals are blocked and taken
// from a signalfd, so every wait can notice them. marlox-ctl has one thread: start() blocks
// them for the whole process.
class SignalWatch {
public:
    static os::Result<SignalWatch> start();

    // Waits until fd is readable (or has an error or hang-up to report) or one of the signals
    // arrives. Returns that signal's number, or 0 when fd is ready.
    os::Result<int> wait_readable(int fd);

private:
    explicit SignalWatch(os::UniqueFd fd) : fd_(std::move(fd)) {}

    os::UniqueFd fd_;
};

}  // namespace marlox::ctl
