// Start-up runs of the daemon, timed and weighed.
#include "startup_bench.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "failed.h"
#include "stats.h"
#include "status_load.h"
#include "support/paths.h"
#include "system.h"

namespace marlox::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kIdleTimeout{1000};

}  // namespace

StartupFigures measure_startup(int runs, const support::DaemonOptions& options,
                               const std::string& status_request,
                               const std::string& expected_reply) {
    StartupFigures figures;
    support::DaemonOptions quick = options;
    quick.wait_until_listening = false;  // its 2 ms polling would blur the figure
    std::vector<double> times_ms;
    std::string reply;
    for (int run = 0; run < runs; ++run) {
        const auto begun = Clock::now();
        auto daemon = support::Daemon::start(quick);
        if (!daemon) return failed<StartupFigures>(daemon.error());
        if (!daemon->wait_for_stderr("listening on")) {
            return failed<StartupFigures>("no start line; stderr: " + daemon->stderr_text());
        }
        if (auto fault = exchange_once(support::kSocketPath, status_request, reply)) {
            return failed<StartupFigures>("first request: " + *fault);
        }
        if (reply != expected_reply) {
            return failed<StartupFigures>("first reply: \"" + reply + "\"");
        }
        const std::chrono::duration<double, std::milli> took = Clock::now() - begun;
        times_ms.push_back(took.count());
        // Idle means back to the main thread and the readiness listener, once the answering
        // thread has ended.
        const auto usage = wait_for_usage(
            daemon->pid(), [](const ProcessUsage& u) { return u.threads == 2; }, kIdleTimeout);
        if (!usage) return failed<StartupFigures>("cannot read the daemon's /proc status");
        figures.idle_resident_kib = std::max(figures.idle_resident_kib, usage->resident_kib);
    }
    figures.median_ms = median(times_ms);
    figures.worst_ms = times_ms.empty() ? 0 : *std::max_element(times_ms.begin(), times_ms.end());
    return figures;
}

}  // namespace marlox::bench
