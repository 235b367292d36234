// Daemon: the real marlox-helper binary started for one test, and everything about its run.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/unique_fd.h"
#include "support/deadline.h"
#include "support/outcome.h"
#include "support/output_collector.h"
#include "support/reap.h"

namespace marlox::support {

// How the daemon is started. The defaults give a daemon as an administrator would start it:
// the fake openfortivpn first on PATH, MARLOX_UID unset, umask 022, inherited limits.
struct DaemonOptions {
    std::string path_variable;              // PATH; empty: fake_bin_dir() + ":/usr/bin:/bin"
    std::optional<std::string> marlox_uid;  // MARLOX_UID, any bytes; unset when nullopt
    std::vector<std::string> extra_env;     // more "NAME=value" entries
    mode_t umask = 022;
    std::optional<rlim_t> max_open_files;  // RLIMIT_NOFILE, soft and hard
    std::optional<rlim_t> max_processes;   // RLIMIT_NPROC, soft and hard
    bool close_standard_streams = false;   // start with 0, 1, 2 closed (stderr not captured)
    bool broken_stderr = false;            // stderr a pipe nobody reads: its writes fail
    int stderr_fd = -1;                    // >= 0: stderr is this descriptor (not captured)
    bool wait_until_listening = true;      // start() returns once the socket takes clients
    // Started as a careless parent would: an inheritable descriptor above 2 left open, SIGCHLD
    // and SIGHUP ignored, SIGUSR1 and SIGTERM blocked.
    bool unclean_inheritance = false;
};

// One run of the daemon. Started with fork + execve; it gets PR_SET_PDEATHSIG(SIGKILL), so it
// dies with the thread that started it: start it from the test's own thread. Its stdin and
// stdout are /dev/null and its stderr is collected (see stderr_text()). The destructor kills
// and reaps it if it still runs. Not thread-safe, except the stderr accessors.
class Daemon {
public:
    static Outcome<Daemon> start(const DaemonOptions& options = {});

    Daemon(Daemon&&) noexcept = default;
    Daemon& operator=(Daemon&&) = delete;
    ~Daemon();

    pid_t pid() const { return pid_; }

    // Everything the daemon wrote to stderr so far.
    std::string stderr_text() const;
    // Whether text appeared on its stderr within the time-out.
    bool wait_for_stderr(std::string_view text, milliseconds timeout = kDefaultTimeout) const;

    // Waits until the socket exists as a socket file with mode 0666 (the last start-up step
    // before the start line), or fails with what is known (for example an early exit).
    Outcome<bool> wait_listening(milliseconds timeout = kDefaultTimeout);

    // Waits for the daemon to end by itself and reaps it; nullopt if it still runs at the
    // time-out.
    std::optional<ExitStatus> wait_exit(milliseconds timeout = kDefaultTimeout);

    // Whether the process still runs (not yet ended).
    bool running();

    // SIGKILL and reap now, for a test that starts another daemon afterwards.
    void kill();

private:
    Daemon(pid_t pid, os::UniqueFd pidfd, std::unique_ptr<OutputCollector> stderr_collector)
        : pid_(pid), pidfd_(std::move(pidfd)), stderr_(std::move(stderr_collector)) {}

    pid_t pid_;
    os::UniqueFd pidfd_;                       // invalid once reaped
    std::unique_ptr<OutputCollector> stderr_;  // null when the standard streams were closed
};

}  // namespace marlox::support
