// marlox-ctl's exit statuses: one for each way a request can end, so scripts can tell them apart.
#pragma once

#include <array>
#include <string_view>

namespace marlox::ctl {

enum class ExitStatus : int {
    kOk = 0,                   // status and disconnect answered; connect: the tunnel ran and ended
    kLocalFailure = 1,         // no ticket could be read, or standard output could not be written
    kUsage = 2,                // the command line was wrong
    kUnreachable = 3,          // the daemon's socket could not be reached
    kUnauthorized = 4,         // {"error":"unauthorized"}
    kAlreadyConnected = 5,     // {"error":"already connected"}
    kInvalidField = 6,         // {"error":"invalid field: NAME"}
    kSpawnFailed = 7,          // {"error":"spawn: TEXT"}
    kWriteConfFailed = 8,      // {"error":"write conf failed"}
    kBadJson = 9,              // {"error":"bad json"}
    kRequestTooLong = 10,      // {"error":"request too long"}
    kUnknownCmd = 11,          // {"error":"unknown cmd"}
    kBadReply = 12,            // no reply, a reply cut short, or one this client does not know
    kTooManyConnections = 13,  // {"error":"too many connections"}
};

constexpr int code(ExitStatus status) { return static_cast<int>(status); }

struct ExitStatusDoc {
    ExitStatus status;
    std::string_view meaning;
};

// The list --help prints (a line feed in a meaning continues it on an indented line); the
// README and marlox-ctl(1) carry the same table.
inline constexpr std::array<ExitStatusDoc, 14> kExitStatusDocs{{
    {ExitStatus::kOk, "success; for connect: the tunnel ran and its output has ended"},
    {ExitStatus::kLocalFailure, "no ticket could be read, or output could not be written"},
    {ExitStatus::kUsage, "wrong command line"},
    {ExitStatus::kUnreachable, "cannot reach /run/marlox/helper.sock (daemon not running?)"},
    {ExitStatus::kUnauthorized, "unauthorized: the daemon does not serve this user"},
    {ExitStatus::kAlreadyConnected, "already connected: a tunnel is running"},
    {ExitStatus::kInvalidField,
     "invalid field: a value holds a line feed, CR or NUL or is too long,\n"
     "or the ticket begins or ends with white space"},
    {ExitStatus::kSpawnFailed, "spawn: the daemon could not start openfortivpn"},
    {ExitStatus::kWriteConfFailed, "write conf failed: the daemon could not write of.conf"},
    {ExitStatus::kBadJson, "bad json: the daemon could not parse the request"},
    {ExitStatus::kRequestTooLong, "request too long: the request exceeds the daemon's limit"},
    {ExitStatus::kUnknownCmd, "unknown cmd: the daemon does not know the command"},
    {ExitStatus::kBadReply, "no reply, a cut-off reply, or one marlox-ctl does not know"},
    {ExitStatus::kTooManyConnections,
     "too many connections: this user already holds the daemon's limit of connections"},
}};

}  // namespace marlox::ctl
