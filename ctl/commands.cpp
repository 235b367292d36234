// status, disconnect and connect: one call of libmarlox each, the answer mapped to output.
#include "ctl/commands.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <variant>

#include "ctl/control_escaper.h"
#include "ctl/failure.h"
#include "ctl/json_output.h"
#include "ctl/signal_watch.h"
#include "ctl/ticket.h"
#include "os/io.h"
#include "os/signals.h"
#include "os/terminal.h"

namespace marlox::ctl {
namespace {

// The daemon is waited for as long as it takes: it answers at once, and a tunnel may run for
// hours.
constexpr int kNoTimeout = -1;

Failure local_failure(std::string message) {
    return {ExitStatus::kLocalFailure, std::move(message)};
}

// The failure a status or disconnect call ended with.
Failure failure_of(int result, const marlox_reply& reply) {
    const std::string_view text(reply.text == nullptr ? "" : reply.text, reply.length);
    if (result == MARLOX_E_DAEMON) {
        return failure_for(reply.error, text, reply.detail == nullptr ? "" : reply.detail);
    }
    if (result == MARLOX_E_UNEXPECTED) return bad_reply(text);
    if (!reply.reached) return unreachable(kSocketPath, os::Errno{-result});
    return {ExitStatus::kBadReply, "cannot read the reply: " + os::describe(os::Errno{-result})};
}

// Frees the reply's text on every way out.
struct ReplyHolder {
    marlox_reply reply{};
    ~ReplyHolder() { marlox_reply_clear(&reply); }
};

// Shows the tunnel's output: on a terminal with its control characters as escapes, in JSON as
// one object a line, else byte for byte.
class OutputShower {
public:
    explicit OutputShower(bool json) : json_(json) {
        if (!json && os::is_terminal(STDOUT_FILENO)) escaper_.emplace();
    }
    int line(std::string_view text) {
        if (json_) return write_output(json_line("line", text));
        return bytes(std::string(text) + "\n");
    }
    // The bytes of a last line that the stream cut off, shown as they came.
    int cut_off(std::string_view text) {
        if (json_) return write_output(json_line("line", text));
        return bytes(text);
    }
    int finish() { return escaper_ ? write_output(escaper_->finish()) : code(ExitStatus::kOk); }

private:
    int bytes(std::string_view text) {
        return write_output(escaper_ ? escaper_->feed(text) : std::string(text));
    }
    bool json_;
    std::optional<ControlEscaper> escaper_;
};

}  // namespace

int write_output(std::string_view bytes) {
    const auto written = os::write_all(STDOUT_FILENO, bytes);
    if (written) return code(ExitStatus::kOk);
    return report(local_failure("cannot write output: " + os::describe(written.error())));
}

int run_status(bool json) {
    ReplyHolder holder;
    bool running = false;
    const int result = marlox_status(kNoTimeout, &running, &holder.reply);
    if (result != 0) return report(failure_of(result, holder.reply));
    if (json) return write_output(running ? "{\"running\":true}\n" : "{\"running\":false}\n");
    return write_output(running ? "running\n" : "not running\n");
}

int run_disconnect(bool json) {
    ReplyHolder holder;
    const int result = marlox_disconnect(kNoTimeout, &holder.reply);
    if (result != 0) return report(failure_of(result, holder.reply));
    return json ? write_output("{\"ok\":true}\n") : code(ExitStatus::kOk);
}

int run_connect(const ConnectOptions& options, bool json) {
    auto watch = SignalWatch::start();
    if (!watch)
        return report(local_failure("cannot watch signals: " + os::describe(watch.error())));
    // Connect before asking for the password: a daemon that is not running is found out
    // without typing anything.
    marlox_session* opened = nullptr;
    if (const int result = marlox_open(kNoTimeout, &opened); result != 0) {
        return report(unreachable(kSocketPath, os::Errno{-result}));
    }
    const Session session(opened);

    {
        auto ticket = read_ticket(options.username, *watch);
        if (auto* interrupted = std::get_if<Interrupted>(&ticket)) {
            os::end_by_signal(interrupted->signal);
        }
        if (auto* failure = std::get_if<Failure>(&ticket)) return report(*failure);
        const std::string_view secret = std::get<os::Secret>(ticket).view();
        const int sent = marlox_session_send_connect(
            session.get(), options.host.c_str(), options.port.c_str(), options.username.c_str(),
            secret.data(), secret.size(),
            options.trusted_cert ? options.trusted_cert->c_str() : nullptr,
            options.realm ? options.realm->c_str() : nullptr, kNoTimeout);
        if (sent != 0) {
            return report({ExitStatus::kBadReply,
                           "cannot send the request: " + os::describe(os::Errno{-sent})});
        }
    }  // the ticket is wiped here, before the tunnel's output is awaited

    // The tunnel's output is untrusted: on a terminal its control characters are shown, not
    // obeyed. Pipes and files get it byte for byte.
    OutputShower show(json);
    bool any_line = false;
    int interrupted_by = 0;
    int status = code(ExitStatus::kOk);
    for (bool ended = false; !ended && status == code(ExitStatus::kOk);) {
        marlox_event event;
        const int result = marlox_session_next(session.get(), &event);
        if (result == -EAGAIN) {
            auto woke = watch->wait_readable(marlox_session_fd(session.get()));
            if (!woke)
                return report({ExitStatus::kBadReply,
                               "connection to the daemon lost: " + os::describe(woke.error())});
            if (*woke == 0) continue;
            // End of stream for the daemon's watcher, which ends the tunnel; openfortivpn's
            // last lines still arrive. A second signal ends marlox-ctl at once.
            if (interrupted_by != 0) os::end_by_signal(*woke);
            interrupted_by = *woke;
            const int shut = marlox_session_end_tunnel(session.get());
            // Already shut down by the daemon: the end of stream is on its way anyway.
            if (shut != 0 && shut != -ENOTCONN) {
                return report({ExitStatus::kBadReply,
                               "connection to the daemon lost: " + os::describe(os::Errno{-shut})});
            }
            continue;
        }
        const std::string_view text(event.text, event.length);
        if (result == MARLOX_E_UNEXPECTED) {
            // Nothing at all is no reply; a line the stream cut off is shown as it came.
            if (!any_line && text.empty()) return report(bad_reply({}));
            status = show.cut_off(text);
            ended = true;
        } else if (result != 0) {
            return report({ExitStatus::kBadReply, (any_line ? "connection to the daemon lost: "
                                                            : "cannot read the reply: ") +
                                                      os::describe(os::Errno{-result})});
        } else if (event.type == MARLOX_EVENT_ERROR) {
            return report(failure_for(event.error, text, event.detail ? event.detail : ""));
        } else if (event.type == MARLOX_EVENT_LINE) {
            any_line = true;
            status = show.line(text);
        } else {
            ended = true;
        }
    }
    if (status == code(ExitStatus::kOk)) status = show.finish();
    if (interrupted_by != 0) os::end_by_signal(interrupted_by);
    return status;
}

}  // namespace marlox::ctl
