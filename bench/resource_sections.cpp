// The daemon's resource sections: idle connections, a flooded connection and start-up.
#include <algorithm>
#include <cstdio>

#include "flood_load.h"
#include "idle_bench.h"
#include "relay_lines.h"
#include "sections.h"
#include "startup_bench.h"
#include "stats.h"
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

    Verdict verdict("resident memory per idle connection", "KiB", Verdict::Bound::kAtMost, 12.5);
    verdict.figure = daemon.kib_per_connection;
    for (const auto* fault : {&daemon.fault, &daemon.status_while_held.fault, &reference.fault,
                              &reference.status_while_held.fault}) {
        if (verdict.fault.empty()) verdict.fault = *fault;
    }
    return verdict;
}

Verdict measure_flood(const Servers& servers, const Settings& settings) {
    const std::uint64_t bytes = settings.flood_mib * 1024 * 1024;
    const std::string request = "{\"cmd\":\"connect\",\"host\":\"vpn.example.org\",\"realm\":\"" +
                                std::string(kWaitingRealm) + "\"}\n";
    Verdict verdict(
        "daemon CPU for " + std::to_string(settings.flood_mib) + " MiB sent after the request", "s",
        Verdict::Bound::kAtMost, 0.3);
    std::vector<double> cpu, wall, rate;
    for (int round = 0; round < settings.rounds && verdict.fault.empty(); ++round) {
        const FloodFigures run =
            run_flood(servers.daemon_pid, support::kSocketPath, request, bytes);
        verdict.fault = run.fault;
        cpu.push_back(run.daemon_cpu_seconds);
        wall.push_back(run.seconds);
        rate.push_back(run.megabytes_per_second);
    }
    std::printf("### Flooded connection: %s MiB sent after the request, %d runs\n\n",
                grouped(static_cast<double>(settings.flood_mib)).c_str(), settings.rounds);
    Table table({"daemon CPU s, median / worst", "first byte to end of stream, s", "MB/s"});
    table.add({fixed(median(cpu), 3) + " / " + fixed(*std::max_element(cpu.begin(), cpu.end()), 3),
               fixed(median(wall), 3), grouped(median(rate))});
    table.print();
    verdict.figure = median(cpu);
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
