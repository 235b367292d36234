// Helper programs started through os::Child, waited for through its pidfd with a deadline.
#include "program.h"

#include <poll.h>
#include <sys/wait.h>

#include <cerrno>

namespace marlox::e2e {

Outcome<Program> Program::start(const std::vector<std::string>& argv) {
    auto child = os::Child::spawn(argv);
    if (!child)
        return support::Failure{"cannot start " + argv[0] + ": " + os::describe(child.error())};
    auto out = std::make_unique<support::OutputCollector>(child->take_stdout());
    auto err = std::make_unique<support::OutputCollector>(child->take_stderr());
    return Program(std::move(*child), std::move(out), std::move(err));
}

std::optional<int> Program::wait_exit(milliseconds timeout) {
    const support::Deadline deadline(timeout);
    pollfd fd{child_.pidfd(), POLLIN, 0};
    if (fd.fd < 0 || ::poll(&fd, 1, deadline.poll_ms()) != 1) return std::nullopt;
    siginfo_t info{};
    // WNOWAIT: the status is read here, the reaping is the Child's.
    if (::waitid(P_PIDFD, static_cast<id_t>(fd.fd), &info, WEXITED | WNOWAIT) < 0) {
        return std::nullopt;
    }
    child_.reap();
    (void)out_->wait_closed(milliseconds(deadline.poll_ms()));
    (void)err_->wait_closed(milliseconds(deadline.poll_ms()));
    if (info.si_code != CLD_EXITED) return std::nullopt;
    return info.si_status;
}

Outcome<std::string> run_program(const std::vector<std::string>& argv, milliseconds timeout) {
    auto program = Program::start(argv);
    if (!program) return support::Failure{program.error()};
    const auto code = program->wait_exit(timeout);
    if (code != 0) {
        return support::Failure{argv[0] + " failed (" +
                                (code ? "exit " + std::to_string(*code) : "no exit in time") +
                                "): " + program->err()};
    }
    return program->out();
}

}  // namespace marlox::e2e
