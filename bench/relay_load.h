// The relay-path load: one client asks for a tunnel and reads its whole output, checking it.
#pragma once

#include <string>

#include "relay_lines.h"

namespace marlox::bench {

struct RelayFigures {
    double seconds = 0;  // from before connect to end of stream
    double lines_per_second = 0;
    double megabytes_per_second = 0;  // 10^6 bytes
    std::string fault;  // empty when every line arrived whole and in order on its stream
};

// Connects to socket_path, sends request (whose tunnel prints what plan says), and reads to end
// of stream, checking every line. Every receive is bounded in time.
RelayFigures run_relay_load(const std::string& socket_path, const std::string& request,
                            const RelayPlan& plan);

}  // namespace marlox::bench
