// CtlProcess: the real marlox-ctl binary started by a test, its input, output and end in hand.
#pragma once

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

namespace marlox::ctltest {

using support::ExitStatus;
using support::kDefaultTimeout;
using support::milliseconds;
using support::Outcome;

// Where marlox-ctl's standard output goes.
enum class Output {
    kPipe,      // a pipe the test reads
    kUnread,    // a pipe whose read end is closed
    kClosed,    // nowhere: descriptor 1 is closed
    kTerminal,  // a pseudo-terminal in raw mode (no CR added), whose master the test reads
};

struct CtlStart {
    std::vector<std::string> args;  // after the program name
    uid_t uid = 0;                  // not 0: runs as this uid (and gid), no supplementary groups
    bool on_terminal = false;       // stdin is a pseudo-terminal instead of a pipe
    Output output = Output::kPipe;
};

// Started with fork + execve and PR_SET_PDEATHSIG, so it dies with the test's thread. Its
// stdout and stderr are collected; its stdin is a pipe, or with on_terminal the slave of a
// pseudo-terminal whose master the test holds, with marlox-ctl in a process group of its own
// as a shell's job. The destructor kills and reaps it if it still runs. Not thread-safe.
class CtlProcess {
public:
    static Outcome<CtlProcess> start(const CtlStart& how);

    CtlProcess(CtlProcess&&) noexcept = default;
    CtlProcess& operator=(CtlProcess&&) = delete;
    ~CtlProcess();

    pid_t pid() const { return pid_; }

    // Writes to its standard input (or types on its terminal); false on failure.
    bool write_input(std::string_view bytes);
    // Ends its standard input (a pipe; on a terminal the master stays open).
    void close_input();
    // The master side of its terminal, or -1.
    int terminal() const { return terminal_.get(); }

    std::string out() const { return out_->text(); }
    std::string err() const { return err_->text(); }
    bool wait_out(std::string_view text, milliseconds timeout = kDefaultTimeout) const {
        return out_->wait_for(text, timeout);
    }
    bool wait_err(std::string_view text, milliseconds timeout = kDefaultTimeout) const {
        return err_->wait_for(text, timeout);
    }

    bool signal(int sig);
    // Waits for it to end, reaps it, and waits for its output pipes to be drained; nullopt if
    // it still runs at the time-out.
    std::optional<ExitStatus> wait_exit(milliseconds timeout = kDefaultTimeout);
    bool running() const;

private:
    CtlProcess(pid_t pid, os::UniqueFd pidfd, os::UniqueFd input, os::UniqueFd terminal,
               std::unique_ptr<support::OutputCollector> out,
               std::unique_ptr<support::OutputCollector> err)
        : pid_(pid),
          pidfd_(std::move(pidfd)),
          input_(std::move(input)),
          terminal_(std::move(terminal)),
          out_(std::move(out)),
          err_(std::move(err)) {}

    pid_t pid_;
    os::UniqueFd pidfd_;  // invalid once reaped
    os::UniqueFd input_;
    os::UniqueFd terminal_;
    std::unique_ptr<support::OutputCollector> out_;
    std::unique_ptr<support::OutputCollector> err_;
};

// Runs marlox-ctl to its end with input on its standard input, then closed.
struct CtlResult {
    ExitStatus status;
    std::string out;
    std::string err;
};
Outcome<CtlResult> run_ctl(const CtlStart& how, std::string_view input = {},
                           milliseconds timeout = kDefaultTimeout);

// Readable description for assertion messages: "exit 3" or "signal 2".
std::string describe(const ExitStatus& status);

}  // namespace marlox::ctltest
