// The flood load: a client that keeps sending after its request while its tunnel runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace marlox::bench {

struct FloodFigures {
    double daemon_cpu_seconds = 0;    // user + system, from before the first byte to end of stream
    double seconds = 0;               // the same span in wall time
    double megabytes_per_second = 0;  // 10^6 bytes
    std::string fault;  // empty unless the tunnel did not start or the stream did not end
};

// Connects to socket_path and sends request, whose tunnel prints kWaitingLine and then waits
// for SIGTERM; once that line has come, sends `bytes` more bytes in 64 KiB pieces, all of which
// the daemon's connection watcher reads and discards. Then it ends its sending side, so the
// watcher ends the tunnel, and reads to end of stream. The daemon (process daemon_pid) is weighed
// before the first byte and after the end of stream. Every send and receive is bounded in time.
FloodFigures run_flood(pid_t daemon_pid, const std::string& socket_path, const std::string& request,
                       std::uint64_t bytes);

}  // namespace marlox::bench
