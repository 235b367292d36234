// The daemon's resource sections: idle connections and start-up.
#include <cstdio>

#include "idle_bench.h"
#include "sections.h"
#include "startup_bench.h"
#include "support/paths.h"
#include "table.h"

namespace marlox::bench {
namespace {

constexpr std::chrono::milliseconds kStatusWhileIdle{500};

std::string three(std::size_t before, std::size_t during, std::size_t after) {
    return std::to_string(before) + " / " + std::to_string(during) + " / " + std::to_string(after);
}

}  // namespace

Verdict measure_idle_connections(const Servers& servers, const Settings& settings) {
    const std::size_t count = settings.idle_connections;
    StatusLoadPlan plan{support::kSocketPath, std::string(kStatusRequest),
                        std::string(kStatusReply), 1, kStatusWhileIdle};
    const IdleFigures daemon = run_idle_connections(servers.daemon_pid, count, plan);
    plan.socket_path = servers.status_reference_socket;
    const IdleFigures reference = run_idle_connections(servers.status_reference_pid, count, plan);

    std::printf("### Idle connections: %zu held open without a request\n\n", count);
    Table table({"server", "resident KiB before / during / after",
                 "threads before / during / after", "KiB per connection",
                 "status p50 / p99 µs while held"});
    for (const auto* figures : {&daemon, &reference}) {
        table.add({figures == &daemon ? "daemon" : "reference",
                   three(figures->before.resident_kib, figures->during.resident_kib,
                         figures->after.resident_kib),
                   three(figures->before.threads, figures->during.threads, figures->after.threads),
                   fixed(figures->kib_per_connection, 1),
                   fixed(figures->status_while_held.p50_us, 1) + " / " +
                       fixed(figures->status_while_held.p99_us, 1)});
    }
    table.print();

    Verdict verdict("resident memory per idle connection", "KiB", Verdict::Bound::kAtMost, 16);
    verdict.figure = daemon.kib_per_connection;
    for (const auto* fault : {&daemon.fault, &daemon.status_while_held.fault, &reference.fault,
                              &reference.status_while_held.fault}) {
        if (verdict.fault.empty()) verdict.fault = *fault;
    }
    return verdict;
}

std::vector<Verdict> measure_daemon_startup(const Settings& settings,
                                            const support::DaemonOptions& options) {
    const StartupFigures figures = measure_startup(
        settings.startup_runs, options, std::string(kStatusRequest), std::string(kStatusReply));
    std::printf("### Start-up: %d runs, from fork and exec to the first answer\n\n",
                settings.startup_runs);
    Table table({"median ms", "worst ms", "idle resident KiB"});
    table.add({fixed(figures.median_ms, 2), fixed(figures.worst_ms, 2),
               std::to_string(figures.idle_resident_kib)});
    table.print();
    Verdict startup("start-up to first answer (median)", "ms", Verdict::Bound::kAtMost, 5);
    startup.figure = figures.median_ms;
    startup.fault = figures.fault;
    Verdict memory("idle resident memory", "MiB", Verdict::Bound::kAtMost, 4);
    memory.figure = static_cast<double>(figures.idle_resident_kib) / 1024.0;
    memory.fault = figures.fault;
    return {startup, memory};
}

}  // namespace marlox::bench
