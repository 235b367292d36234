// Command-line parsing for marlox-ctl: what to do and with which values, or why not.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace marlox::ctl {

enum class Command { kHelp, kVersion, kStatus, kDisconnect, kConnect, kWatch };

// The values of "connect". The ticket is not among them: it never comes from the command line.
struct ConnectOptions {
    std::string host;
    std::string port;
    std::string username;
    std::optional<std::string> realm;
    std::optional<std::string> trusted_cert;
};

struct Invocation {
    Command command = Command::kHelp;
    bool json = false;  // --json: every output line one JSON object
    ConnectOptions connect;
};

struct UsageError {
    std::string message;  // one sentence, without the program name
};

// Parses the arguments after the program name. Options take their value from the next
// argument or after "=" (--host=vpn.example.com); -h/--help and --version win wherever they
// stand. Every value must be UTF-8, because the request that carries it is JSON.
std::variant<Invocation, UsageError> parse_arguments(std::span<const std::string_view> args);

}  // namespace marlox::ctl
