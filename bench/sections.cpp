// The benchmark's sections: paired rounds against the references, tables, verdicts.
#include "sections.h"

#include <cstdio>
#include <functional>

#include "relay_load.h"
#include "stats.h"
#include "status_load.h"
#include "support/paths.h"
#include "table.h"

namespace marlox::bench {
namespace {

constexpr std::chrono::milliseconds kWarmUp{200};

// Runs `rounds` pairs, alternating which of the two goes first so that neither always meets
// the other's leftovers (cached thread stacks, a warm page cache, a busy neighbour).
void paired_rounds(int rounds, const std::function<void()>& daemon,
                   const std::function<void()>& reference) {
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            daemon();
            reference();
        } else {
            reference();
            daemon();
        }
    }
}

std::string connect_request(const RelayPlan& plan) {
    return "{\"cmd\":\"connect\",\"host\":\"vpn.example.org\",\"port\":\"443\","
           "\"username\":\"bench\",\"ticket\":\"secret\",\"trusted_cert\":\"0\",\"realm\":\"" +
           realm_for(plan) + "\"}\n";
}

}  // namespace

Verdict compare_status(const Servers& servers, const Settings& settings, std::size_t clients) {
    StatusLoadPlan daemon_plan{support::kSocketPath, std::string(kStatusRequest),
                               std::string(kStatusReply), clients, kWarmUp};
    StatusLoadPlan reference_plan = daemon_plan;
    reference_plan.socket_path = servers.status_reference_socket;
    Verdict verdict("status requests/s, " + std::to_string(clients) +
                        (clients == 1 ? " client" : " clients") + ", daemon / reference",
                    "x", Verdict::Bound::kAtLeast, 0.9);
    // Unmeasured warm-up: the first requests of a server pay for its thread stack cache.
    (void)run_status_load(daemon_plan);
    (void)run_status_load(reference_plan);
    daemon_plan.duration = reference_plan.duration = settings.status_time;

    std::vector<StatusFigures> daemon_runs;
    std::vector<StatusFigures> reference_runs;
    const auto run = [&verdict](const StatusLoadPlan& plan, std::vector<StatusFigures>& runs) {
        runs.push_back(run_status_load(plan));
        if (verdict.fault.empty() && !runs.back().fault.empty()) verdict.fault = runs.back().fault;
    };
    paired_rounds(
        settings.rounds, [&] { run(daemon_plan, daemon_runs); },
        [&] { run(reference_plan, reference_runs); });

    std::vector<double> ratios;
    for (std::size_t i = 0; i < daemon_runs.size(); ++i) {
        ratios.push_back(daemon_runs[i].per_second / std::max(1.0, reference_runs[i].per_second));
    }
    verdict.figure = median(ratios);
    std::printf("### Request path: status, %zu concurrent client%s\n\n", clients,
                clients == 1 ? "" : "s");
    Table table({"server", "requests/s", "p50 µs", "p99 µs"});
    const auto add = [&table](const char* name, const std::vector<StatusFigures>& runs) {
        std::vector<double> rate, p50, p99;
        for (const auto& r : runs) {
            rate.push_back(r.per_second);
            p50.push_back(r.p50_us);
            p99.push_back(r.p99_us);
        }
        table.add({name, grouped(median(rate)), fixed(median(p50), 1), fixed(median(p99), 1)});
    };
    add("daemon", daemon_runs);
    add("reference", reference_runs);
    table.add({"ratio", fixed(verdict.figure, 2), "", ""});
    table.print();
    return verdict;
}

Verdict compare_relay(const Servers& servers, const Settings& settings,
                      std::uint64_t stderr_every) {
    const RelayPlan plan{settings.relay_lines, stderr_every};
    const std::string streams =
        stderr_every == 0 ? "standard output only"
                          : "every " + std::to_string(stderr_every) + "th line on standard error";
    Verdict verdict("relay lines/s, " + streams + ", daemon / reference", "x",
                    Verdict::Bound::kAtLeast, 0.5);
    std::vector<RelayFigures> daemon_runs;
    std::vector<RelayFigures> reference_runs;
    const auto run = [&](const std::string& socket, const std::string& request,
                         std::vector<RelayFigures>& runs) {
        runs.push_back(run_relay_load(socket, request, plan));
        if (verdict.fault.empty() && !runs.back().fault.empty()) verdict.fault = runs.back().fault;
    };
    paired_rounds(
        settings.rounds, [&] { run(support::kSocketPath, connect_request(plan), daemon_runs); },
        [&] { run(servers.relay_reference_socket, realm_for(plan) + "\n", reference_runs); });

    std::vector<double> ratios;
    for (std::size_t i = 0; i < daemon_runs.size(); ++i) {
        ratios.push_back(daemon_runs[i].lines_per_second /
                         std::max(1.0, reference_runs[i].lines_per_second));
    }
    verdict.figure = median(ratios);
    std::printf("### Relay path: %s lines of %zu bytes, %s\n\n",
                grouped(static_cast<double>(plan.lines)).c_str(), kLineBytes, streams.c_str());
    Table table({"server", "request to end of stream, ms", "lines/s", "MB/s"});
    const auto add = [&table](const char* name, const std::vector<RelayFigures>& runs) {
        std::vector<double> ms, lines, mb;
        for (const auto& r : runs) {
            ms.push_back(r.seconds * 1000);
            lines.push_back(r.lines_per_second);
            mb.push_back(r.megabytes_per_second);
        }
        table.add({name, fixed(median(ms), 1), grouped(median(lines)), grouped(median(mb))});
    };
    add("daemon", daemon_runs);
    add("reference", reference_runs);
    table.add({"ratio", "", fixed(verdict.figure, 2), ""});
    table.print();
    return verdict;
}

}  // namespace marlox::bench
