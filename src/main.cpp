// marlox-helper: start-up and the accept loop of the tunnel daemon.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "control/dispatch.h"
#include "control/peer.h"
#include "os/datagram.h"
#include "os/fs.h"
#include "os/log.h"
#include "os/process.h"
#include "os/socket.h"
#include "os/thread.h"
#include "tunnel/readiness.h"
#include "tunnel/record.h"

namespace {

using namespace marlox;

const std::string kRuntimeDir = "/run/marlox";
const std::string kSocketPath = "/run/marlox/helper.sock";

// The daemon cannot serve at all: say why (if stderr still works) and stop with status 101.
[[noreturn]] void fatal(const std::string& what) {
    (void)os::log_line("fatal: " + what);
    std::_Exit(101);
}

// Only root can add entries to the runtime directory now, but one that was open to others may
// hold what they planted before: a directory at the configuration path would make every connect
// fail, one at the socket path the bind. The administrator removes them; the daemon does not
// guess which are safe to delete.
void refuse_planted_entries() {
    auto entries = os::list_entry_owners(kRuntimeDir);
    if (!entries) {
        fatal("bind socket " + kSocketPath + ": " + kRuntimeDir + ": " +
              os::describe(entries.error()));
    }
    const auto planted = std::find_if(entries->begin(), entries->end(),
                                      [](const os::EntryOwner& entry) { return entry.owner != 0; });
    if (planted == entries->end()) return;
    // The name is another user's choice: no control characters reach the log.
    std::string name = planted->name;
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    fatal("bind socket " + kSocketPath + ": " + kRuntimeDir + "/" + name + " is owned by uid " +
          std::to_string(planted->owner) + ", not by root");
}

// A daemon that replaced the socket file of one still running would leave that one serving
// where no client can reach it, and two daemons would each believe they know the one tunnel.
// A file nobody listens on (ECONNREFUSED) or none at all is what an ended daemon leaves.
void refuse_second_daemon() {
    auto probe = os::connect_unix_nowait(kSocketPath);
    // EAGAIN: its queue is full, so something listens all the same.
    if (probe || probe.error().code == EAGAIN) {
        fatal("bind socket " + kSocketPath + ": another daemon is already listening there");
    }
}

os::UniqueFd set_up_listener() {
    // Nobody but root may add, replace or remove entries here (the socket, the configuration
    // file), whatever umask or leftover directory the daemon finds.
    if (auto dir = os::make_root_directory(kRuntimeDir, 0755); !dir) {
        fatal("bind socket " + kSocketPath + ": " + kRuntimeDir + ": " + os::describe(dir.error()));
    }
    refuse_planted_entries();
    refuse_second_daemon();
    // One attempt at a socket file left by a daemon that has ended.
    (void)os::remove_file(kSocketPath);
    auto listener = os::listen_unix(kSocketPath);
    if (!listener) fatal("bind socket " + kSocketPath + ": " + os::describe(listener.error()));
    // Every local user may connect; who is served is decided per connection.
    (void)os::set_mode(kSocketPath, 0666);
    return std::move(*listener);
}

// The tunnel's readiness reports, read on a thread of their own for the daemon's whole life.
void start_readiness_listener(const std::shared_ptr<tunnel::TunnelRecord>& record) {
    auto socket = tunnel::open_readiness_socket();
    if (!socket) {
        fatal("bind socket " + std::string(tunnel::kReadinessPath) + ": " +
              os::describe(socket.error()));
    }
    auto started =
        os::start_detached([socket = std::move(*socket), shared = record]() mutable noexcept {
            tunnel::listen_for_readiness(std::move(socket), std::move(shared));
        });
    if (!started) fatal("failed to spawn thread: " + os::describe(started.error()));
}

// A failed accept4 other than an interrupted call or an aborted connection is a shortage
// (descriptors, memory) that a retry at once cannot cure: pause instead of spinning on it.
void pause_after(os::Errno error) {
    if (error.code == EINTR || error.code == ECONNABORTED) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

[[noreturn]] void accept_forever(int listener, const std::shared_ptr<tunnel::TunnelRecord>& record,
                                 const std::shared_ptr<control::ConnectionCap>& cap) {
    for (;;) {
        auto conn = os::accept_connection(listener);
        if (!conn) {
            pause_after(conn.error());
            continue;
        }
        auto started = os::start_detached(
            // A plain capture of the const reference would be a const copy that cannot move.
            [conn = std::move(*conn), shared = record, counted = cap]() mutable noexcept {
                control::serve_connection(std::move(conn), std::move(shared), std::move(counted));
            });
        // The connection closed with the lambda that failed to start; the daemon serves on,
        // so no local user can end it by opening connections until threads run out.
        if (!started) {
            (void)os::log_line("failed to spawn thread: " + os::describe(started.error()));
        }
    }
}

}  // namespace

int main() {
    os::ensure_standard_descriptors();
    // Whoever supervises the daemon (systemd with Type=notify) learns from it when it serves.
    // Taken out of the environment while there is one thread only, so the tunnel never sees it.
    const auto supervisor = os::take_environment_variable("NOTIFY_SOCKET");
    // Whoever started the daemon may have left descriptors open or SIGCHLD ignored; neither
    // may reach the tunnel or undo the order in which a tunnel is cleared before its reap.
    (void)os::mark_inherited_cloexec();
    (void)os::default_sigchld();
    (void)os::ignore_sigpipe();
    // Nor may a blocked SIGTERM keep the daemon alive when it is told to end.
    (void)os::clear_signal_mask();
    if (control::marlox_uid_is_invalid()) {
        (void)os::log_line("MARLOX_UID is not a valid user id; the default rule applies");
    }
    os::UniqueFd listener = set_up_listener();
    const auto record = std::make_shared<tunnel::TunnelRecord>();
    const auto cap = std::make_shared<control::ConnectionCap>();
    start_readiness_listener(record);
    if (!os::log_line("listening on " + kSocketPath)) fatal("failed printing to stderr");
    // A supervisor that cannot be told times the start out and says so itself.
    if (supervisor) (void)os::send_datagram(*supervisor, "READY=1");
    accept_forever(listener.get(), record, cap);
}
