// Messages for every way a request can fail.
#include "ctl/failure.h"

#include <unistd.h>

#include "os/io.h"

namespace marlox::ctl {
namespace {

// Reply text shown to the user is cut short: a confused daemon could send anything.
constexpr std::size_t kShownReplyBytes = 200;

}  // namespace

Failure failure_for(marlox_error error, std::string_view text, std::string_view detail) {
    switch (error) {
        case MARLOX_ERROR_UNAUTHORIZED:
            return {ExitStatus::kUnauthorized,
                    "unauthorized: the daemon does not serve this user (see MARLOX_UID in "
                    "marlox-helper(8))"};
        case MARLOX_ERROR_TOO_MANY_CONNECTIONS:
            return {ExitStatus::kTooManyConnections,
                    "too many connections: this user already holds 64 connections to the daemon "
                    "(other programs of the same user connected to it?)"};
        case MARLOX_ERROR_ALREADY_CONNECTED:
            return {ExitStatus::kAlreadyConnected,
                    "already connected: a tunnel is running (marlox-ctl disconnect ends it)"};
        case MARLOX_ERROR_INVALID_FIELD:
            // openfortivpn trims the ends of its values and cuts long ones, so the daemon also
            // refuses values that would silently become others.
            return {ExitStatus::kInvalidField,
                    "invalid field: " + std::string(detail) +
                        (detail == "ticket"
                             ? " (it must not hold a line feed, carriage return or NUL, begin or "
                               "end with a space, tab, vertical tab or form feed, nor be longer "
                               "than openfortivpn keeps)"
                             : " (a value must not hold a line feed, carriage return or NUL, nor "
                               "be longer than openfortivpn keeps)")};
        case MARLOX_ERROR_SPAWN:
            return {ExitStatus::kSpawnFailed,
                    "the daemon could not start openfortivpn: " + std::string(detail)};
        case MARLOX_ERROR_WRITE_CONF_FAILED:
            return {ExitStatus::kWriteConfFailed,
                    "write conf failed: the daemon could not write /run/marlox/of.conf"};
        case MARLOX_ERROR_BAD_JSON:
            return {ExitStatus::kBadJson, "bad json: the daemon could not parse the request"};
        case MARLOX_ERROR_REQUEST_TOO_LONG:
            return {ExitStatus::kRequestTooLong,
                    "request too long: the daemon refused a request this long (is the ticket "
                    "right?)"};
        case MARLOX_ERROR_UNKNOWN_CMD:
            return {ExitStatus::kUnknownCmd,
                    "unknown cmd: the daemon does not know this command (an older version?)"};
        default:
            return bad_reply("{\"error\":\"" + std::string(text) + "\"}");
    }
}

Failure unreachable(std::string_view socket_path, os::Errno error) {
    return {ExitStatus::kUnreachable, "cannot reach " + std::string(socket_path) + ": " +
                                          os::describe(error) + "; is marlox-helper running?"};
}

Failure bad_reply(std::string_view line) {
    if (line.empty()) {
        return {ExitStatus::kBadReply, "the daemon closed the connection without a reply"};
    }
    std::string shown(line.substr(0, kShownReplyBytes));
    // No control characters reach the user's terminal from an unknown reply.
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    if (line.size() > kShownReplyBytes) shown += "...";
    return {ExitStatus::kBadReply, "unexpected reply from the daemon: " + shown};
}

int report(const Failure& failure) {
    (void)os::write_all(STDERR_FILENO, "marlox-ctl: " + failure.message + "\n");
    return code(failure.status);
}

}  // namespace marlox::ctl
