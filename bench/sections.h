// The benchmark's sections: each runs its loads against the daemon and its reference, prints a
// table, and returns the figures its targets are judged by.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/replies.h"
#include "support/daemon.h"

namespace marlox::bench {

// The request the request-path sections send, and the answer of a server without a tunnel.
inline constexpr std::string_view kStatusRequest = "{\"cmd\":\"status\"}\n";
inline constexpr std::string_view kStatusReply = protocol::kReplyNotRunning;

struct Settings {
    int rounds = 5;
    std::chrono::milliseconds status_time{1000};
    std::uint64_t relay_lines = 1'000'000;
    std::size_t idle_connections = 2000;
    std::uint64_t flood_mib = 512;
    int startup_runs = 5;
    std::size_t watchers = 1000;
    std::size_t watch_changes = 50;
};

// The servers of a run: the daemon and the two reference programs, all listening.
struct Servers {
    pid_t daemon_pid;
    pid_t status_reference_pid;
    std::string status_reference_socket;
    std::string relay_reference_socket;
};

// One target: a figure, the bound it must meet, and whether it did. A section that could not
// measure says why in fault; a fault also fails the run (the load's checks found something).
struct Verdict {
    enum class Bound { kAtLeast, kAtMost };
    Verdict(std::string measure_text, std::string unit_text, Bound kind, double bound_value)
        : measure(std::move(measure_text)),
          unit(std::move(unit_text)),
          at_least(kind == Bound::kAtLeast),
          bound(bound_value) {}

    std::string measure;
    std::string unit;
    bool at_least;  // the figure must be >= bound (else <= bound)
    double bound;
    double figure = 0;
    std::string fault;

    bool met() const { return fault.empty() && (at_least ? figure >= bound : figure <= bound); }
};

Verdict compare_status(const Servers& servers, const Settings& settings, std::size_t clients);
Verdict compare_relay(const Servers& servers, const Settings& settings, std::uint64_t stderr_every);
Verdict measure_idle_connections(const Servers& servers, const Settings& settings);
// CPU per request line in shapes meant to be costly, against a flat array; in-process.
Verdict measure_request_parse(const Settings& settings);
// What the connection watcher costs the daemon when a client sends on after its request.
Verdict measure_flood(const Servers& servers, const Settings& settings);
// One state change to many watchers, and status beside them against none.
std::vector<Verdict> measure_watchers(const Servers& servers, const Settings& settings);
// Start-up to first answer and idle resident memory.
std::vector<Verdict> measure_daemon_startup(const Settings& settings,
                                            const support::DaemonOptions& options);

}  // namespace marlox::bench
