// Who may use the daemon: the admission rule over the peer's user id.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace marlox::control {

// Parses a MARLOX_UID value: an optional single "+", then one or more ASCII digits, at most
// 4294967295. Anything else (white space, a sign "-", other text, bytes that are not UTF-8)
// is no user id at all.
std::optional<std::uint32_t> parse_user_id(std::string_view text);

// The admission rule. With a valid MARLOX_UID value N only uids 0 and N are admitted; without
// one (unset or invalid) uid 0 and every uid from 1000 up, that is no system account, except
// the service accounts among them: 65534 (nobody), 61184-65519 (systemd's dynamic users),
// 4294967294 and 4294967295.
bool is_admitted(uid_t peer, const char* marlox_uid_env);

// Whether MARLOX_UID is set and not empty, and yet no user id: admission then follows the
// default rule as if it were unset, though whoever set it meant to narrow it.
bool marlox_uid_is_invalid();

// Checks the peer of a connection and returns its uid when admitted; reads MARLOX_UID anew on
// every call. A peer whose credentials cannot be fetched is refused.
std::optional<uid_t> admit_peer(int conn);

}  // namespace marlox::control
