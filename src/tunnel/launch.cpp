// "connect": from the request to a started, recorded tunnel process.
#include "tunnel/launch.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "os/child.h"
#include "os/fs.h"
#include "os/io.h"
#include "os/process.h"
#include "protocol/replies.h"
#include "tunnel/config_file.h"
#include "tunnel/readiness.h"
#include "tunnel/supervise.h"

namespace marlox::tunnel {
namespace {

// Replies are best effort: a client that has gone away simply misses its answer.
void reply(int conn, std::string_view line) { (void)os::send_all(conn, line); }

void reply_error(int conn, std::string_view prefix, std::string_view text) {
    std::string line;
    line.append(prefix).append(text).append(protocol::kReplyErrorSuffix);
    reply(conn, line);
}

// The error of a failed write as the reply and the watchers give it.
constexpr std::string_view kWriteConfFailed = "write conf failed";

struct Started {
    std::optional<os::Child> child;
    std::string error;  // when there is no child: the text the client sees
};

// The daemon's environment with NOTIFY_SOCKET naming the readiness socket, whatever the daemon
// itself was given: the tunnel tells the daemon, never the daemon's own supervisor, that it is up.
std::vector<std::string> tunnel_environment() {
    std::vector<std::string> env = os::environment_entries();
    std::erase_if(env,
                  [](const std::string& entry) { return entry.starts_with("NOTIFY_SOCKET="); });
    env.push_back("NOTIFY_SOCKET=" + std::string(kReadinessPath));
    return env;
}

// Starts openfortivpn on the configuration file.
Started start_tunnel(const protocol::Request& request) {
    const std::string_view realm = request.member("realm").value_or("radius");
    // A NUL would silently cut the argument short at exec.
    if (realm.find('\0') != std::string_view::npos) {
        return {std::nullopt, "nul byte found in provided data"};
    }
    const std::array<std::string, 5> argv = {"openfortivpn", "-c", std::string(kConfigPath),
                                             "--realm", std::string(realm)};
    auto child = os::Child::spawn(argv, tunnel_environment());
    if (!child) return {std::nullopt, os::describe(child.error())};
    return {std::move(*child), {}};
}

}  // namespace

void run_connect(int conn, uid_t uid, const protocol::Request& request,
                 const std::shared_ptr<TunnelRecord>& record) noexcept {
    // Checked before anything else, so a refused request leaves no trace.
    if (const auto field = find_unsafe_field(request)) {
        reply_error(conn, protocol::kReplyInvalidFieldPrefix, *field);
        return;
    }
    const StartDetails details{request.member("host").value_or(""),
                               request.member("port").value_or(""),
                               request.member("username").value_or("")};
    // Held from here to the end of the tunnel: a second connect meanwhile is refused.
    if (!record->try_reserve(uid, details)) {
        reply(conn, protocol::kReplyAlreadyConnected);
        return;
    }
    // On a failure everything is settled before the reply goes out: a client that acts on the
    // reply at once must find no tunnel, not the remains of this attempt.
    const std::string config_path(kConfigPath);
    if (!write_config(config_path, config_text(request))) {
        record->release(kWriteConfFailed);
        reply(conn, protocol::kReplyWriteConfFailed);
        return;
    }
    auto [child, error] = start_tunnel(request);
    if (!child) {
        (void)os::remove_file(config_path);
        record->release("spawn: " + error);
        reply_error(conn, protocol::kReplySpawnPrefix, error);
        return;
    }
    const std::uint64_t generation = record->record_pid(child->pid());
    // No acknowledgement: the client sees the tunnel's output, then the end of the stream.
    supervise(conn, std::move(*child), record, generation);
}

}  // namespace marlox::tunnel
