// Peer credentials checked against MARLOX_UID.
#include "control/peer.h"

#include <cstdlib>

#include "os/socket.h"

namespace marlox::control {

std::optional<std::uint32_t> parse_user_id(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

namespace {

// Accounts no person logs in as, though numbered like login users: nobody (65534), the range
// systemd's DynamicUser= draws sandboxed services from, and the two values meaning "no uid".
// A compromised service must not steer a root-run tunnel that rewrites routes and DNS.
bool is_service_account(uid_t uid) {
    return uid == 65534 || (uid >= 61184 && uid <= 65519) || uid >= 4294967294u;
}

}  // namespace

bool is_admitted(uid_t peer, const char* marlox_uid_env) {
    if (peer == 0) return true;
    const auto only = marlox_uid_env != nullptr ? parse_user_id(marlox_uid_env) : std::nullopt;
    if (only) return peer == *only;
    return peer >= 1000 && !is_service_account(peer);
}

bool marlox_uid_is_invalid() {
    // Read at start-up, before any thread exists.
    const char* value = std::getenv("MARLOX_UID");  // NOLINT(concurrency-mt-unsafe)
    return value != nullptr && *value != '\0' && !parse_user_id(value);
}

std::optional<uid_t> admit_peer(int conn) {
    const auto uid = os::peer_uid(conn);
    if (!uid) return std::nullopt;
    // Nothing in the daemon changes its environment, so reading it from many threads is safe.
    if (!is_admitted(*uid, std::getenv("MARLOX_UID"))) {  // NOLINT(concurrency-mt-unsafe)
        return std::nullopt;
    }
    return *uid;
}

}  // namespace marlox::control
