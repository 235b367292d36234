// Watchers: how fast one state change reaches a thousand of them, and what they cost "status".
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "os/unique_fd.h"
#include "status_load.h"

namespace marlox::bench {

// Connections that asked to watch and have read their snapshot.
struct Watchers {
    std::vector<os::UniqueFd> connections;
    std::string fault;  // empty unless one could not be attached
};

// Attaches `count` watchers to the daemon at socket_path, each having read the idle snapshot.
Watchers attach_watchers(const std::string& socket_path, std::size_t count);

struct SpreadFigures {
    std::size_t changes = 0;
    double p50_ms = 0;  // request sent to the change's line complete at the last watcher
    double worst_ms = 0;
    double first_p50_ms = 0;  // the same at the first watcher
    std::string fault;
};

// Makes `changes` state changes, one at a time (a connect that fails to start: its "starting"
// line is the change timed, its idle line is awaited untimed), and times each from the request
// until every watcher has the whole line. Each wait is bounded in time.
SpreadFigures measure_change_spread(const std::string& socket_path, Watchers& watchers,
                                    std::size_t changes);

}  // namespace marlox::bench
