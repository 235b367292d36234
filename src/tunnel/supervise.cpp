// The running tunnel: watcher, two relays, and the clean-up in an order without races.
#include "tunnel/supervise.h"

#include <signal.h>

#include <optional>
#include <string>

#include "os/fs.h"
#include "os/io.h"
#include "os/log.h"
#include "os/thread.h"
#include "tunnel/client_stream.h"
#include "tunnel/config_file.h"
#include "tunnel/relay.h"
#include "tunnel/watcher.h"

namespace marlox::tunnel {
namespace {

// child has exited but is not yet reaped; ended says how, if the wait could tell.
void clean_up(int conn, os::Child& child, TunnelRecord& record,
              const os::Result<os::ProcessEnd>& ended) {
    // The file goes before the record is cleared: once it is clear a new connect may write its
    // own file at the same path, which must not then be removed here.
    (void)os::remove_file(std::string(kConfigPath));
    // Cleared before the reap: until the reap the pid cannot be reused, so no signal sent
    // through the record can reach a stranger.
    record.clear(ended ? std::optional(*ended) : std::nullopt);
    child.reap();
    // Wakes the watcher, which then finds the record cleared and does nothing.
    (void)os::shutdown_both(conn);
}

// A thread the tunnel needs could not be started: rather than leave a process that nobody
// relays or watches, end it and clean up; the daemon serves on.
void end_early(int conn, os::Child& child, TunnelRecord& record, os::Errno error) {
    (void)os::log_line("failed to spawn thread: " + os::describe(error));
    (void)child.send_signal(SIGTERM);
    clean_up(conn, child, record, child.wait_exited());
}

}  // namespace

void supervise(int conn, os::Child child, const std::shared_ptr<TunnelRecord>& record,
               std::uint64_t generation) noexcept {
    // Closed on every early return, so the process cannot block writing to a pipe nobody reads.
    os::UniqueFd out = child.take_stdout();
    os::UniqueFd err = child.take_stderr();

    // Without a duplicate there is no watcher: the tunnel then ends with the process, by
    // "disconnect", or when a relay's failed send closes its pipe.
    if (auto watched = os::dup_cloexec(conn)) {
        auto started = os::start_detached([watched = std::move(*watched), record = record,
                                           pid = child.pid(), generation]() mutable noexcept {
            watch_connection(std::move(watched), std::move(record), pid, generation);
        });
        if (!started) {
            out.reset();
            err.reset();
            end_early(conn, child, *record, started.error());
            return;
        }
    }

    // Declared after the child and before the thread: the thread is joined (at the latest by
    // its destructor) before the stream and the descriptors it borrows go away.
    ClientStream stream(conn, child.pidfd());
    auto error_relay =
        os::JoinableThread::start([err = std::move(err), &stream]() mutable noexcept {
            relay_lines(std::move(err), stream);
        });
    if (!error_relay) {
        out.reset();
        end_early(conn, child, *record, error_relay.error());
        return;
    }

    relay_lines(std::move(out), stream);
    const auto ended = child.wait_exited();
    // Every line written before the exit reaches the client before its end of stream; the
    // stream's drain time bounds this join.
    error_relay->join();
    clean_up(conn, child, *record, ended);
}

}  // namespace marlox::tunnel
