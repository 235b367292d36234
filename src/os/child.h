// Child: a started program, held through a pidfd, with its standard output and error piped.
#pragma once

#include <sys/types.h>

#include <span>
#include <string>

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::os {

// How a program ended: by exit(status), or by a signal.
struct ProcessEnd {
    bool by_signal = false;
    int number = 0;  // the exit status, or the signal's number
};

// Owns a started program's pidfd and the read ends of its stdout and stderr pipes.
// Not thread-safe: one thread owns a Child. Other threads that need to signal it go through
// the pid held elsewhere (see TunnelRecord), which stays valid until reap() because an
// exited-but-unreaped child keeps its pid.
class Child {
public:
    // Starts argv[0], searched along PATH, with argv. Standard input is inherited, standard
    // output and error go to new pipes, every signal is at its default action and none is
    // blocked. Only descriptors 0, 1 and 2 reach the program: all others are close-on-exec.
    // argv must not hold NUL bytes (they would silently cut an argument short).
    static Result<Child> spawn(std::span<const std::string> argv);
    // The same with env ("NAME=value" entries) as the program's whole environment instead of
    // the daemon's. PATH is still searched as the daemon's own environment says.
    static Result<Child> spawn(std::span<const std::string> argv, std::span<const std::string> env);

    Child(Child&& other) noexcept = default;
    Child& operator=(Child&&) = delete;
    ~Child();  // if still unreaped: SIGKILL and reap, so no zombie is ever left behind

    pid_t pid() const noexcept { return pid_; }
    // Readable (POLLIN) once the program has exited. Borrowed: valid while this Child lives.
    int pidfd() const noexcept { return pidfd_.get(); }

    UniqueFd take_stdout() noexcept { return std::move(stdout_); }
    UniqueFd take_stderr() noexcept { return std::move(stderr_); }

    // Signal through the pidfd: it can never reach another process that reuses the pid.
    Result<void> send_signal(int sig);
    // Blocks until the program has exited, leaving it unreaped (its pid is not yet free), and
    // says how it ended.
    Result<ProcessEnd> wait_exited();
    // Collects the exit status; after this the pid may be reused by the system.
    void reap() noexcept;

private:
    static Result<Child> spawn_with(std::span<const std::string> argv, char* const* envp);
    Child(pid_t pid, UniqueFd pidfd, UniqueFd out, UniqueFd err) noexcept
        : pid_(pid), pidfd_(std::move(pidfd)), stdout_(std::move(out)), stderr_(std::move(err)) {}

    pid_t pid_;
    UniqueFd pidfd_;  // invalid once reaped
    UniqueFd stdout_;
    UniqueFd stderr_;
};

}  // namespace marlox::os
