// exchange_as: a client running as another user, in a forked child that drops privileges.
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "os/io.h"
#include "os/socket.h"
#include "support/client.h"
#include "support/reap.h"

namespace marlox::support {
namespace {

// The child reports how the stream ended through its exit code; the bytes go up a pipe.
constexpr int kExitEof = 0;
constexpr int kExitReset = 1;
constexpr int kExitError = 2;
constexpr int kExitOpen = 3;
constexpr int kExitNoPrivilegeDrop = 10;
constexpr int kExitNoConnection = 11;

// In the forked child: becomes uid and closes every descriptor above 2 but keep.
void become(uid_t uid, int keep) {
    // Groups first: once the uid is dropped nothing else may change.
    if (::setgroups(0, nullptr) < 0 || ::setresgid(uid, uid, uid) < 0 ||
        ::setresuid(uid, uid, uid) < 0) {
        ::_exit(kExitNoPrivilegeDrop);
    }
    // Set after the uid change, which clears it.
    (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Copies of the test's other connections must not keep them open behind the test's back.
    (void)::close_range(3, static_cast<unsigned>(keep) - 1, 0);
    (void)::close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
}

// In the forked child of a threaded process: system calls only, no allocation.
[[noreturn]] void run_as(uid_t uid, std::string_view request, int report, milliseconds timeout) {
    become(uid, report);
    auto conn = os::connect_unix(kSocketPath);
    if (!conn) ::_exit(kExitNoConnection);
    // A refused client may find the connection already closed when it sends: what the daemon
    // said before closing is still there to read.
    (void)os::send_all(conn->get(), request);
    const Deadline deadline(timeout);
    static std::array<char, 65536> chunk;
    for (;;) {
        pollfd fd{conn->get(), POLLIN, 0};
        if (::poll(&fd, 1, deadline.poll_ms()) <= 0) ::_exit(kExitOpen);
        const auto n = os::recv_some(conn->get(), chunk);
        if (!n) ::_exit(n.error().code == ECONNRESET ? kExitReset : kExitError);
        if (*n == 0) ::_exit(kExitEof);
        if (!os::write_all(report, std::string_view(chunk.data(), *n))) ::_exit(kExitError);
    }
}

Outcome<StreamEnd> stream_end_from(const ExitStatus& status) {
    if (!status.exited)
        return Failure{"the client child was killed by signal " + std::to_string(status.signal)};
    switch (status.code) {
        case kExitEof:
            return StreamEnd::kEof;
        case kExitReset:
            return StreamEnd::kReset;
        case kExitError:
            return StreamEnd::kError;
        case kExitOpen:
            return StreamEnd::kOpen;
        case kExitNoPrivilegeDrop:
            return Failure{"the client child could not drop privileges"};
        case kExitNoConnection:
            return Failure{"the client child could not connect"};
    }
    return Failure{"the client child exited with " + std::to_string(status.code)};
}

// In the forked child: connects count times, says so with one byte on channel (a socket
// pair end), then waits for the test to close its end. The connections close with the child.
[[noreturn]] void hold_as(uid_t uid, int count, int channel) {
    become(uid, channel);
    for (int i = 0; i < count; ++i) {
        auto conn = os::connect_unix(kSocketPath);
        if (!conn) ::_exit(kExitNoConnection);
        (void)conn->release();  // held until the child exits
    }
    if (!os::send_all(channel, "r")) ::_exit(kExitError);
    std::array<char, 1> byte;
    (void)os::recv_some(channel, byte);
    ::_exit(kExitEof);
}

}  // namespace

Outcome<HeldConnections> HeldConnections::open_as(uid_t uid, int count) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) {
        return Failure{"no socket pair for the holding child"};
    }
    os::UniqueFd ours(pair[0]);
    os::UniqueFd theirs(pair[1]);
    const pid_t pid = ::fork();
    if (pid < 0) return Failure{"fork failed"};
    if (pid == 0) {
        ours.reset();
        hold_as(uid, count, theirs.get());
    }
    theirs.reset();
    auto pidfd = open_pidfd(pid);
    if (!pidfd) {
        (void)::kill(pid, SIGKILL);  // still our unreaped child: the pid is not yet reused
        (void)::waitpid(pid, nullptr, 0);
        return Failure{pidfd.error()};
    }
    HeldConnections held(std::move(*pidfd), std::move(ours));
    pollfd fd{held.hold_.get(), POLLIN, 0};
    std::array<char, 1> byte;
    const bool polled = ::poll(&fd, 1, static_cast<int>(kDefaultTimeout.count())) > 0;
    const auto got = polled ? os::recv_some(held.hold_.get(), byte) : os::Errno{ETIMEDOUT};
    if (!got || *got != 1) return Failure{"the holding child did not connect"};
    return held;
}

HeldConnections::~HeldConnections() {
    if (!pidfd_.valid()) return;  // moved from
    hold_.reset();
    if (!reap_within(pidfd_.get(), kDefaultTimeout)) kill_and_reap(pidfd_.get());
}

Outcome<Received> exchange_as(uid_t uid, std::string_view request, milliseconds timeout) {
    auto report = os::make_pipe();
    if (!report) return Failure{"no pipe for the client child"};
    const pid_t pid = ::fork();
    if (pid < 0) return Failure{"fork failed"};
    if (pid == 0) {
        report->read_end.reset();
        run_as(uid, request, report->write_end.get(), timeout);
    }
    report->write_end.reset();
    auto pidfd = open_pidfd(pid);
    if (!pidfd) {
        (void)::kill(pid, SIGKILL);  // still our unreaped child: the pid is not yet reused
        (void)::waitpid(pid, nullptr, 0);
        return Failure{pidfd.error()};
    }

    // The child gives up at its own deadline; this one adds a margin for its start and exit.
    const Deadline deadline(timeout + milliseconds(2000));
    Received received;
    std::array<char, 65536> chunk;
    for (;;) {
        pollfd fd{report->read_end.get(), POLLIN, 0};
        if (::poll(&fd, 1, deadline.poll_ms()) <= 0) break;
        const auto n = os::read_some(report->read_end.get(), chunk);
        if (!n || *n == 0) break;
        received.bytes.append(chunk.data(), *n);
    }
    const auto status = reap_within(pidfd->get(), milliseconds(deadline.poll_ms()));
    if (!status) {
        kill_and_reap(pidfd->get());
        return Failure{"the client child did not finish in time"};
    }
    auto end = stream_end_from(*status);
    if (!end) return Failure{end.error()};
    received.end = *end;
    return received;
}

}  // namespace marlox::support
