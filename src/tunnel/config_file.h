// The tunnel configuration file: its path, its text, and a writer nobody can redirect.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/result.h"
#include "protocol/request.h"

namespace marlox::tunnel {

// The file openfortivpn reads with "-c". It holds the credential in plain text.
inline constexpr std::string_view kConfigPath = "/run/marlox/of.conf";

// The first of "host", "port", "username", "ticket", "trusted_cert" and "realm" (in that order)
// whose value openfortivpn would not get as sent; nullopt when all are safe. That is a value
// longer than openfortivpn keeps of that field, which it would cut silently (the lengths are in
// config_file.cpp); one of the first five holding a line feed, a carriage return or a NUL,
// which would add lines of its own to the configuration file (a second "password" line, say);
// or a ticket that begins or ends with a space, tab, vertical tab or form feed, which
// openfortivpn would trim into another password.
std::optional<std::string_view> find_unsafe_field(const protocol::Request& request);

// The file's five lines: "host = ...\nport = ...\nusername = ...\npassword = ...\n
// trusted-cert = ...\n", each value the request member as decoded, or empty when the member is
// missing or not a string. "password" carries the request's "ticket".
std::string config_text(const protocol::Request& request);

// Writes text to path as a new regular file, mode 0600 before the umask. Whatever was at path is
// removed first and the new file is created exclusively without following symbolic links, so a
// link or a file planted there by another user can neither redirect the credential nor keep
// wider permissions. A partly written file is left in place on a write error.
os::Result<void> write_config(const std::string& path, std::string_view text);

}  // namespace marlox::tunnel
