// status, disconnect and connect: one connection, one request, the answer mapped to output.
#include "ctl/commands.h"

#include <unistd.h>

#include <optional>
#include <variant>

#include "ctl/control_escaper.h"
#include "ctl/failure.h"
#include "ctl/reply.h"
#include "ctl/reply_stream.h"
#include "ctl/request_builder.h"
#include "ctl/ticket.h"
#include "os/io.h"
#include "os/signals.h"
#include "os/socket.h"
#include "os/terminal.h"

namespace marlox::ctl {
namespace {

Failure local_failure(std::string message) {
    return {ExitStatus::kLocalFailure, std::move(message)};
}

std::variant<os::UniqueFd, Failure> open_connection() {
    auto conn = os::connect_unix(kSocketPath);
    if (!conn) return unreachable(kSocketPath, conn.error());
    return std::move(*conn);
}

// The first line of the answer. Nothing at all before the end of stream is no reply, whether
// the request was sent or not: a daemon that closes at once may do so before reading it.
std::variant<ReplyStream::FirstLine, Failure> first_line(ReplyStream& stream) {
    auto first = stream.first_line();
    if (!first) {
        return Failure{ExitStatus::kBadReply,
                       "cannot read the reply: " + os::describe(first.error())};
    }
    if (first->text.empty() && !first->complete) return bad_reply({});
    return std::move(*first);
}

// Sends the request and reads the first line of the answer. A failed send is not the end:
// a daemon that refuses a user replies and closes before reading, and that reply is still
// waiting to be read.
std::variant<ReplyStream::FirstLine, Failure> exchange(int conn, std::string_view request,
                                                       ReplyStream& stream) {
    (void)os::send_all(conn, request);
    return first_line(stream);
}

// The reply to status or disconnect: a known error, the expected reply, or something else.
std::variant<Reply, Failure> single_reply(const ReplyStream::FirstLine& line) {
    if (!line.complete) return bad_reply(line.text);
    const Reply reply = classify_reply(line.text);
    if (is_error(reply.kind)) return failure_for(reply);
    return reply;
}

}  // namespace

int write_output(std::string_view bytes) {
    const auto written = os::write_all(STDOUT_FILENO, bytes);
    if (written) return code(ExitStatus::kOk);
    return report(local_failure("cannot write output: " + os::describe(written.error())));
}

int run_status(bool json) {
    auto conn = open_connection();
    if (auto* failure = std::get_if<Failure>(&conn)) return report(*failure);
    const int fd = std::get<os::UniqueFd>(conn).get();
    ReplyStream stream(fd, /*watch=*/nullptr);
    auto line = exchange(fd, status_request(), stream);
    if (auto* failure = std::get_if<Failure>(&line)) return report(*failure);
    const auto& first = std::get<ReplyStream::FirstLine>(line);
    auto reply = single_reply(first);
    if (auto* failure = std::get_if<Failure>(&reply)) return report(*failure);
    const ReplyKind kind = std::get<Reply>(reply).kind;
    if (kind != ReplyKind::kRunning && kind != ReplyKind::kNotRunning) {
        return report(bad_reply(first.text));
    }
    if (json) return write_output(first.text + "\n");
    return write_output(kind == ReplyKind::kRunning ? "running\n" : "not running\n");
}

int run_disconnect() {
    auto conn = open_connection();
    if (auto* failure = std::get_if<Failure>(&conn)) return report(*failure);
    const int fd = std::get<os::UniqueFd>(conn).get();
    ReplyStream stream(fd, /*watch=*/nullptr);
    auto line = exchange(fd, disconnect_request(), stream);
    if (auto* failure = std::get_if<Failure>(&line)) return report(*failure);
    const auto& first = std::get<ReplyStream::FirstLine>(line);
    auto reply = single_reply(first);
    if (auto* failure = std::get_if<Failure>(&reply)) return report(*failure);
    if (std::get<Reply>(reply).kind != ReplyKind::kOk) return report(bad_reply(first.text));
    return code(ExitStatus::kOk);
}

int run_connect(const ConnectOptions& options) {
    auto watch = SignalWatch::start();
    if (!watch)
        return report(local_failure("cannot watch signals: " + os::describe(watch.error())));
    // Connect before asking for the password: a daemon that is not running is found out
    // without typing anything.
    auto conn = open_connection();
    if (auto* failure = std::get_if<Failure>(&conn)) return report(*failure);
    const int fd = std::get<os::UniqueFd>(conn).get();

    {
        auto ticket = read_ticket(options.username, *watch);
        if (auto* interrupted = std::get_if<Interrupted>(&ticket)) {
            os::end_by_signal(interrupted->signal);
        }
        if (auto* failure = std::get_if<Failure>(&ticket)) return report(*failure);
        (void)os::send_all(fd, connect_request(options, std::get<Secret>(ticket).view()).view());
    }  // the ticket and the request are wiped here, before the tunnel's output is awaited

    ReplyStream stream(fd, &*watch);
    auto line = first_line(stream);
    if (auto* failure = std::get_if<Failure>(&line)) return report(*failure);
    const auto& first = std::get<ReplyStream::FirstLine>(line);
    // The only place a reply can stand; after it, every line is the tunnel's output.
    if (first.complete) {
        const Reply reply = classify_reply(first.text);
        if (is_error(reply.kind)) return report(failure_for(reply));
    }
    // The tunnel's output is untrusted: on a terminal its control characters are shown, not
    // obeyed. Pipes and files get it byte for byte.
    std::optional<ControlEscaper> escaper;
    if (os::is_terminal(STDOUT_FILENO)) escaper.emplace();
    auto show = [&escaper](std::string_view bytes) {
        if (!escaper) return write_output(bytes);
        return write_output(escaper->feed(bytes));
    };
    int status = show(first.complete ? first.text + "\n" : first.text);
    while (status == code(ExitStatus::kOk)) {
        auto bytes = stream.next();
        if (!bytes) {
            return report({ExitStatus::kBadReply,
                           "connection to the daemon lost: " + os::describe(bytes.error())});
        }
        if (bytes->empty()) {
            if (escaper) status = write_output(escaper->finish());
            break;
        }
        status = show(*bytes);
    }
    if (stream.interrupted_by() != 0) os::end_by_signal(stream.interrupted_by());
    return status;
}

}  // namespace marlox::ctl
