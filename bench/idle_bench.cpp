// Holding idle connections against a server and weighing it meanwhile.
#include "idle_bench.h"

#include <chrono>
#include <vector>

#include "failed.h"
#include "os/socket.h"

namespace marlox::bench {
namespace {

constexpr std::chrono::milliseconds kSettleTimeout{10000};

}  // namespace

IdleFigures run_idle_connections(pid_t pid, std::size_t connections, const StatusLoadPlan& status) {
    IdleFigures figures;
    const auto before = process_usage(pid);
    if (!before) return failed<IdleFigures>("cannot read the server's /proc status");
    figures.before = *before;

    std::vector<os::UniqueFd> held;
    held.reserve(connections);
    for (std::size_t i = 0; i < connections; ++i) {
        auto conn = os::connect_unix(status.socket_path);
        if (!conn) {
            return failed<IdleFigures>("idle connection " + std::to_string(i) + ": " +
                                       os::describe(conn.error()));
        }
        held.push_back(std::move(*conn));
    }
    const std::size_t busy = before->threads + connections;
    const auto during = wait_for_usage(
        pid, [busy](const ProcessUsage& u) { return u.threads >= busy; }, kSettleTimeout);
    if (!during || during->threads < busy) {
        return failed<IdleFigures>("the server did not start a thread per connection in time");
    }
    figures.during = *during;
    figures.kib_per_connection =
        (static_cast<double>(during->resident_kib) - static_cast<double>(before->resident_kib)) /
        static_cast<double>(connections);
    figures.status_while_held = run_status_load(status);

    held.clear();  // every server thread now reads end of stream and ends
    const std::size_t idle = before->threads;
    const auto after = wait_for_usage(
        pid, [idle](const ProcessUsage& u) { return u.threads <= idle; }, kSettleTimeout);
    if (!after) return failed<IdleFigures>("cannot read the server's /proc status");
    figures.after = *after;
    if (after->threads > idle) figures.fault = "the server's threads did not end in time";
    return figures;
}

}  // namespace marlox::bench
