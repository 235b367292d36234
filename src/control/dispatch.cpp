// Connection handler: admission, one request line, one answer (or a tunnel's whole life).
#include "control/dispatch.h"

#include "control/peer.h"
#include "control/request_line.h"
#include "control/watch.h"
#include "os/io.h"
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

void dispatch(int conn, uid_t uid, const Request& request,
              const std::shared_ptr<tunnel::TunnelRecord>& record) {
    switch (command_of(request)) {
        case Command::kStatus:
            reply(conn, record->is_running() ? kReplyRunning : kReplyNotRunning);
            return;
        case Command::kDisconnect:
            record->signal_if_running(uid);
            reply(conn, kReplyOk);
            return;
        case Command::kConnect:
            tunnel::run_connect(conn, uid, request, record);
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

void serve_connection(os::UniqueFd conn, std::shared_ptr<tunnel::TunnelRecord> record,
                      std::shared_ptr<ConnectionCap> cap) noexcept {
    const auto uid = admit_peer(conn.get());
    if (!uid) {
        reply(conn.get(), kReplyUnauthorized);
        return;
    }
    // Held until the connection is closed, whatever it turns into.
    const auto slot = cap->try_acquire(*uid);
    if (!slot) {
        reply(conn.get(), kReplyTooManyConnections);
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
    dispatch(conn.get(), *uid, *request, record);
}

}  // namespace marlox::control
