// Start-up: time from starting the daemon to its first answer, and its memory once idle.
#pragma once

#include <cstddef>
#include <string>

#include "support/daemon.h"

namespace marlox::bench {

struct StartupFigures {
    double median_ms = 0;
    double worst_ms = 0;
    std::size_t idle_resident_kib = 0;  // the largest of the runs
    std::string fault;
};

// Starts the daemon `runs` times with options, one at a time. Each run is timed from the start
// (fork and exec) until a "status" request has been answered; the daemon's start line on stderr
// says when to connect, so no polling shortens or lengthens it. Then, once the daemon is back
// to its one thread, its resident memory is read, and it is killed.
StartupFigures measure_startup(int runs, const support::DaemonOptions& options,
                               const std::string& status_request,
                               const std::string& expected_reply);

}  // namespace marlox::bench
