// Idle connections: what thousands of silent clients cost a server, and how it answers meanwhile.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "status_load.h"
#include "system.h"

namespace marlox::bench {

struct IdleFigures {
    ProcessUsage before;
    ProcessUsage during;
    ProcessUsage after;
    double kib_per_connection = 0;  // resident memory added per held connection
    StatusFigures status_while_held;
    std::string fault;
};

// Opens `connections` connections to the server (process pid, socket status.socket_path) that
// send nothing, waits until the server runs a thread for each, reads its usage, runs the status
// load while they are held, closes them and waits until its threads are gone. Every wait is
// bounded in time.
IdleFigures run_idle_connections(pid_t pid, std::size_t connections, const StatusLoadPlan& status);

}  // namespace marlox::bench
