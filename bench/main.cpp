// marlox-bench: the daemon's hot paths and footprint, each measured against a reference.
//
// Runs as root in a mount namespace of its own with a tmpfs on /run, so the daemon's fixed
// socket path never touches the machine's. Every figure that can be compared is reported as a
// ratio to a reference program measured in the same run, because absolute figures on a shared
// virtual machine drift from minute to minute.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "os/fs.h"
#include "reference_process.h"
#include "sections.h"
#include "support/private_run.h"
#include "system.h"
#include "table.h"

namespace {

using namespace marlox;
using namespace marlox::bench;

const std::string kReferenceDir = "/run/marlox-bench";

struct Options {
    Settings settings;
    std::optional<int> cpu = 0;  // nullopt: unpinned
    std::string only;            // comma-separated section names; empty: all

    bool runs(std::string_view section) const {
        return only.empty() ||
               ("," + only + ",").find("," + std::string(section) + ",") != std::string::npos;
    }
};

constexpr const char* kUsage =
    "usage: marlox-bench [--unpinned | --cpu=N] [--rounds=N] [--seconds=S] [--lines=N]\n"
    "                    [--idle=N] [--flood=MIB] [--startups=N] [--watchers=N]\n"
    "                    [--only=SECTION,...]\n"
    "  --unpinned    let the scheduler place clients and servers (default: all on CPU 0)\n"
    "  --cpu=N       pin clients and servers to CPU N\n"
    "  --rounds=N    paired rounds per comparison (default 5)\n"
    "  --seconds=S   length of one status round (default 1)\n"
    "  --lines=N     lines per relay run (default 1000000)\n"
    "  --idle=N      idle connections held (default 2000)\n"
    "  --flood=MIB   MiB a client sends after its request (default 512)\n"
    "  --startups=N  daemon start-ups timed (default 5)\n"
    "  --watchers=N  watchers attached (default 1000)\n"
    "  --only=...    run only these of: startup, parse, status, relay, idle, flood, watch\n";

// "--name=value" with a number of at least minimum; false for any other argument.
template <class T>
bool parse_value(std::string_view arg, std::string_view name, T& out, T minimum = 1) {
    if (!arg.starts_with(name)) return false;
    arg.remove_prefix(name.size());
    T value{};
    const auto [end, error] = std::from_chars(arg.data(), arg.data() + arg.size(), value);
    if (error != std::errc{} || end != arg.data() + arg.size() || value < minimum) return false;
    out = value;
    return true;
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    Settings& s = options.settings;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        double seconds = 0;
        int cpu = 0;
        if (arg.starts_with("--only=")) {
            options.only = arg.substr(std::string_view("--only=").size());
        } else if (arg == "--unpinned") {
            options.cpu.reset();
        } else if (parse_value(arg, "--cpu=", cpu, 0)) {
            options.cpu = cpu;
        } else if (parse_value(arg, "--seconds=", seconds, 0.05)) {
            s.status_time = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
        } else if (!parse_value(arg, "--rounds=", s.rounds) &&
                   !parse_value(arg, "--lines=", s.relay_lines) &&
                   !parse_value(arg, "--idle=", s.idle_connections) &&
                   !parse_value(arg, "--flood=", s.flood_mib) &&
                   !parse_value(arg, "--startups=", s.startup_runs) &&
                   !parse_value(arg, "--watchers=", s.watchers)) {
            return std::nullopt;
        }
    }
    return options;
}

void print_summary(const std::vector<Verdict>& verdicts) {
    std::puts("### Targets\n");
    Table table({"measure", "figure", "target", "result"});
    for (const Verdict& v : verdicts) {
        // Ratios get a third decimal, so one shown as 0.90 is never a miss by a hair.
        const int decimals = v.unit == "x" ? 3 : 2;
        table.add({v.measure, fixed(v.figure, decimals) + " " + v.unit,
                   std::string(v.at_least ? "≥ " : "≤ ") + fixed(v.bound, 2) + " " + v.unit,
                   !v.fault.empty() ? "FAULT: " + v.fault
                   : v.met()        ? "met"
                                    : "missed"});
    }
    table.print();
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse_options(argc, argv);
    if (!options) {
        (void)std::fputs(kUsage, stderr);
        return 2;
    }
    // First, while this process has one thread: the namespace refuses a threaded process.
    if (const std::string problem = support::enter_private_run(); !problem.empty()) {
        (void)std::fprintf(stderr, "marlox-bench needs root for a private /run: %s\n",
                           problem.c_str());
        return 2;
    }
    const Settings& settings = options->settings;
    const std::size_t descriptors =
        2 * std::max(settings.idle_connections, settings.watchers) + 1024;
    if (!raise_descriptor_limit(descriptors)) {
        (void)std::fprintf(stderr, "cannot allow %zu open descriptors\n", descriptors);
        return 2;
    }
    if (options->cpu && !pin_to_cpu(*options->cpu)) {
        (void)std::fprintf(stderr, "cannot pin to CPU %d\n", *options->cpu);
        return 2;
    }
    // The relay reference finds the stand-in openfortivpn through PATH as the daemon does.
    prepend_to_path(MARLOX_BENCH_BIN_DIR);
    support::DaemonOptions daemon_options;
    daemon_options.path_variable = std::string(MARLOX_BENCH_BIN_DIR) + ":/usr/bin:/bin";
    daemon_options.max_open_files = descriptors;

    const std::string placement =
        options->cpu ? "clients and servers pinned to CPU " + std::to_string(*options->cpu)
                     : "clients and servers unpinned";
    std::printf(
        "## marlox-bench on %s\n\n%s; medians of %d paired rounds; ratio = daemon / "
        "reference\n\n",
        machine_description().c_str(), placement.c_str(), settings.rounds);
    std::vector<Verdict> verdicts;
    if (options->runs("startup")) verdicts = measure_daemon_startup(settings, daemon_options);
    if (options->runs("parse")) verdicts.push_back(measure_request_parse(settings));

    (void)os::make_dirs(kReferenceDir, 0755);
    auto daemon = support::Daemon::start(daemon_options);
    auto status_reference =
        ReferenceProcess::start(MARLOX_BENCH_STATUS_REFERENCE, kReferenceDir + "/status.sock");
    auto relay_reference =
        ReferenceProcess::start(MARLOX_BENCH_RELAY_REFERENCE, kReferenceDir + "/relay.sock");
    for (const std::string& error :
         {daemon.error(), status_reference.error(), relay_reference.error()}) {
        if (error.empty()) continue;
        (void)std::fprintf(stderr, "marlox-bench: %s\n", error.c_str());
        return 2;
    }
    const Servers servers{daemon->pid(), status_reference->pid(), status_reference->socket_path(),
                          relay_reference->socket_path()};
    if (options->runs("status")) {
        verdicts.push_back(compare_status(servers, settings, 1));
        verdicts.push_back(compare_status(servers, settings, 16));
    }
    if (options->runs("relay")) {
        verdicts.push_back(compare_relay(servers, settings, 0));
        verdicts.push_back(compare_relay(servers, settings, 10));
    }
    if (options->runs("idle")) verdicts.push_back(measure_idle_connections(servers, settings));
    if (options->runs("flood")) verdicts.push_back(measure_flood(servers, settings));
    if (options->runs("watch")) {
        for (Verdict& v : measure_watchers(servers, settings)) verdicts.push_back(std::move(v));
    }
    print_summary(verdicts);
    for (const Verdict& v : verdicts) {
        if (!v.fault.empty()) return 1;  // a load found wrong answers or broken lines
    }
    return 0;
}
