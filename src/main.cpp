// marlox-helper: start-up and the accept loop of the tunnel daemon.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "control/dispatch.h"
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

os::UniqueFd set_up_listener() {
    // Nobody but root may add, replace or remove entries here (the socket, the configuration
    // file), whatever umask or leftover directory the daemon finds.
    if (auto dir = os::make_root_directory(kRuntimeDir, 0755); !dir) {
        fatal("bind socket " + kSocketPath + ": " + kRuntimeDir + ": " + os::describe(dir.error()));
    }
    // One attempt at a leftover socket file; no check whether another daemon still uses it.
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

[[noreturn]] void accept_forever(int listener,
                                 const std::shared_ptr<tunnel::TunnelRecord>& record) {
    for (;;) {
        auto conn = os::accept_connection(listener);
        if (!conn) {
            pause_after(conn.error());
            continue;
        }
        auto started = os::start_detached(
            // A plain capture of the const reference would be a const copy that cannot move.
            [conn = std::move(*conn), shared = record]() mutable noexcept {
                control::serve_connection(std::move(conn), std::move(shared));
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
    os::UniqueFd listener = set_up_listener();
    const auto record = std::make_shared<tunnel::TunnelRecord>();
    start_readiness_listener(record);
    if (!os::log_line("listening on " + kSocketPath)) fatal("failed printing to stderr");
    // A supervisor that cannot be told times the start out and says so itself.
    if (supervisor) (void)os::send_datagram(*supervisor, "READY=1");
    accept_forever(listener.get(), record);
}
