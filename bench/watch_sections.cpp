// The watchers section: a change's way to the last of many watchers, and status beside them.
#include <cstdio>

#include "sections.h"
#include "stats.h"
#include "support/paths.h"
#include "system.h"
#include "table.h"
#include "watch_bench.h"

namespace marlox::bench {
namespace {

constexpr std::chrono::milliseconds kSettleTimeout{10000};

// Until the daemon runs no more threads than `threads` (its watchers' threads have ended).
std::string settle(pid_t pid, std::size_t threads) {
    const auto after = wait_for_usage(
        pid, [threads](const ProcessUsage& u) { return u.threads <= threads; }, kSettleTimeout);
    if (!after || after->threads > threads) return "the watchers' threads did not end in time";
    return {};
}

}  // namespace

std::vector<Verdict> measure_watchers(const Servers& servers, const Settings& settings) {
    const std::size_t count = settings.watchers;
    const std::string watchers_text = std::to_string(count) + " watchers";
    Verdict spread_verdict("one state change to the last of " + watchers_text + " (median)", "ms",
                           Verdict::Bound::kAtMost, 50);
    Verdict status_verdict("status requests/s with " + watchers_text + " / with none", "x",
                           Verdict::Bound::kAtLeast, 0.9);
    const auto idle = process_usage(servers.daemon_pid);
    if (!idle) {
        spread_verdict.fault = status_verdict.fault = "cannot read the daemon's /proc status";
        return {spread_verdict, status_verdict};
    }

    SpreadFigures spread;
    {
        Watchers watchers = attach_watchers(support::kSocketPath, count);
        spread = watchers.fault.empty()
                     ? measure_change_spread(support::kSocketPath, watchers, settings.watch_changes)
                     : SpreadFigures{0, 0, 0, 0, watchers.fault};
    }
    spread_verdict.figure = spread.p50_ms;
    spread_verdict.fault = spread.fault;
    if (spread_verdict.fault.empty())
        spread_verdict.fault = settle(servers.daemon_pid, idle->threads);

    // Paired rounds, alternating which goes first; the watchers are attached anew each round.
    StatusLoadPlan plan{support::kSocketPath, std::string(kStatusRequest),
                        std::string(kStatusReply), 1, settings.status_time};
    (void)run_status_load(plan);  // warm-up
    std::vector<StatusFigures> with_runs;
    std::vector<StatusFigures> without_runs;
    const auto with_watchers = [&] {
        Watchers watchers = attach_watchers(support::kSocketPath, count);
        if (!watchers.fault.empty() && status_verdict.fault.empty()) {
            status_verdict.fault = watchers.fault;
        }
        with_runs.push_back(run_status_load(plan));
        watchers.connections.clear();
        if (const std::string fault = settle(servers.daemon_pid, idle->threads);
            !fault.empty() && status_verdict.fault.empty()) {
            status_verdict.fault = fault;
        }
    };
    const auto without_watchers = [&] { without_runs.push_back(run_status_load(plan)); };
    for (int round = 0; round < settings.rounds; ++round) {
        if (round % 2 == 0) {
            with_watchers();
            without_watchers();
        } else {
            without_watchers();
            with_watchers();
        }
    }
    std::vector<double> ratios;
    for (std::size_t i = 0; i < with_runs.size(); ++i) {
        ratios.push_back(with_runs[i].per_second / std::max(1.0, without_runs[i].per_second));
        for (const auto* run : {&with_runs[i], &without_runs[i]}) {
            if (status_verdict.fault.empty()) status_verdict.fault = run->fault;
        }
    }
    status_verdict.figure = median(ratios);

    std::printf("### Watchers: %zu attached\n\n", count);
    Table changes({"changes", "request to the line at the first watcher, p50 ms",
                   "to the last watcher, p50 ms", "to the last watcher, worst ms"});
    changes.add({std::to_string(spread.changes), fixed(spread.first_p50_ms, 2),
                 fixed(spread.p50_ms, 2), fixed(spread.worst_ms, 2)});
    changes.print();
    Table status({"status, 1 client", "requests/s", "p50 µs", "p99 µs"});
    const auto add = [&status](const std::string& name, const std::vector<StatusFigures>& runs) {
        std::vector<double> rate, p50, p99;
        for (const auto& r : runs) {
            rate.push_back(r.per_second);
            p50.push_back(r.p50_us);
            p99.push_back(r.p99_us);
        }
        status.add({name, grouped(median(rate)), fixed(median(p50), 1), fixed(median(p99), 1)});
    };
    add("with " + watchers_text, with_runs);
    add("with none", without_runs);
    status.add({"ratio", fixed(status_verdict.figure, 2), "", ""});
    status.print();
    return {spread_verdict, status_verdict};
}

}  // namespace marlox::bench
