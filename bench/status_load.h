// The request-path load: clients that connect, ask for status, read to end of stream and close.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace marlox::bench {

struct StatusLoadPlan {
    std::string socket_path;
    std::string request;         // sent as is, line feed included
    std::string expected_reply;  // the whole stream the server must answer with
    std::size_t clients = 1;     // concurrent clients, one thread each
    std::chrono::milliseconds duration{1000};
};

struct StatusFigures {
    std::size_t requests = 0;
    double per_second = 0;
    double p50_us = 0;
    double p99_us = 0;
    std::string fault;  // empty unless a request failed or got a wrong answer
};

// Runs plan.clients client threads in a closed loop for plan.duration (each bounded in count as
// well), every one starting its first request at the same moment. Each request is timed from
// before connect to end of stream; the rate counts requests completed until the last client
// stopped. The first failed request ends its client and is reported in fault.
StatusFigures run_status_load(const StatusLoadPlan& plan);

// One exchange: connect, send request, read the reply into reply until end of stream (each
// receive bounded in time), close. nullopt on success, else what went wrong.
std::optional<std::string> exchange_once(const std::string& socket_path, std::string_view request,
                                         std::string& reply);

}  // namespace marlox::bench
