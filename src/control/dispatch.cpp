// Connection handler: admission, one request line, one answer (or a tunnel's whole life).
#include "control/dispatch.h"

#include "control/peer.h"
#include "control/request_line.h"
#include "control/watch.h"
#include "os/io.h"
#include "os/socket.h"
#include "protocol/command.h"
#include "protocol/replies.h"
#include "protocol/request.h"
#include "protocol/utf8.h"
#include "tunnel/launch.h"

namespace marlox::control {
namespace {

using namespace protocol;

// Replies are best effort: a client that has gone away simply misses its answer.
void reply(int conn, std::string_view line) { (void)os::send_all(conn, line); }

void dispatch(int conn, const Request& request,
              const std::shared_ptr<tunnel::TunnelRecord>& record) {
    switch (command_of(request)) {
        case Command::kStatus:
            reply(conn, record->is_running() ? kReplyRunning : kReplyNotRunning);
            return;
        case Command::kDisconnect: {
            // Admitted a moment ago, so its credentials are there; "no uid" should they not be.
            const auto uid = os::peer_uid(conn);
            record->signal_if_running(uid ? *uid : static_cast<uid_t>(-1));
            reply(conn, kReplyOk);
            return;
        }
        case Command::kConnect:
            tunnel::run_connect(conn, request, record);
            return;
        case Command::kWatch:
            serve_watch(conn, *record);
            return;
        case Command::kUnknown:
            reply(conn, kReplyUnknownCmd);
            return;
    }
}

}  // namespace

void serve_connection(os::UniqueFd conn, std::shared_ptr<tunnel::TunnelRecord> record) noexcept {
    if (!admit_peer(conn.get())) {
        reply(conn.get(), kReplyUnauthorized);
        return;
    }
    const RequestLine line = read_request_line(conn.get());
    switch (line.status) {
        case LineStatus::kFailed:
            return;
        case LineStatus::kTooLong:
            reply(conn.get(), kReplyRequestTooLong);
            return;
        case LineStatus::kLine:
            break;
    }
    // Text that is not UTF-8 was not written by a well-behaved client: no answer at all.
    if (!is_valid_utf8(line.text)) return;
    const auto request = Request::parse(trim_unicode_whitespace(line.text));
    if (!request) {
        reply(conn.get(), kReplyBadJson);
        return;
    }
    dispatch(conn.get(), *request, record);
}

}  // namespace marlox::control
