// The C API: each entry point catches everything, so no exception crosses into C.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "lib/reply.h"
#include "lib/request_builder.h"
#include "lib/session.h"
#include "marlox.h"
#include "protocol/utf8.h"

// Only these functions leave the library (-fvisibility=hidden and the version script hide the
// rest, the C++ standard library's inline code included).
#define MARLOX_API extern "C" __attribute__((visibility("default")))

namespace {

using marlox::lib::Deadline;

// Runs body, turning an exception (only std::bad_alloc can come) into -ENOMEM.
template <class Body>
int guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return -ENOMEM;
    }
}

// Fills reply with a copy of text; false when there is no memory for it.
bool set_reply_text(marlox_reply* reply, std::string_view text) {
    if (reply == nullptr) return true;
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return false;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    reply->text = copy;
    reply->length = text.size();
    return true;
}

// One request, one reply line: the exact line `expected` is success; the rest is an error reply
// or unexpected.
int exchange(std::string_view request, int timeout_ms, std::string_view expected_a,
             std::string_view expected_b, bool* matched_a, marlox_reply* reply) {
    if (reply != nullptr) marlox_reply_clear(reply);
    const Deadline deadline(timeout_ms);
    std::unique_ptr<marlox_session> session;
    if (const int opened = marlox_session::open(deadline, session); opened != 0) return opened;
    if (reply != nullptr) reply->reached = true;
    if (const int sent = session->send(request, marlox_session::Stream::kNone, deadline);
        sent != 0) {
        return sent;
    }
    std::string line;
    bool complete = false;
    if (const int read = session->first_line(deadline, line, complete); read != 0) return read;
    if (complete && (line == expected_a || line == expected_b)) {
        if (matched_a != nullptr) *matched_a = line == expected_a;
        return 0;
    }
    const auto text = complete ? marlox::lib::error_text(line) : std::nullopt;
    if (!text) return set_reply_text(reply, line) ? MARLOX_E_UNEXPECTED : -ENOMEM;
    if (!set_reply_text(reply, *text)) return -ENOMEM;
    if (reply != nullptr) {
        reply->error = marlox::lib::error_kind(*text);
        const std::string_view detail = marlox::lib::error_detail(reply->error, *text);
        if (reply->error == MARLOX_ERROR_INVALID_FIELD || reply->error == MARLOX_ERROR_SPAWN) {
            reply->detail = reply->text + (reply->length - detail.size());
        }
    }
    return MARLOX_E_DAEMON;
}

bool is_utf8(const char* text) { return text == nullptr || marlox::protocol::is_valid_utf8(text); }

}  // namespace

MARLOX_API void marlox_reply_clear(marlox_reply* reply) {
    if (reply == nullptr) return;
    std::free(reply->text);
    *reply = marlox_reply{};
}

MARLOX_API int marlox_status(int timeout_ms, bool* running, marlox_reply* reply) {
    if (running == nullptr) return -EINVAL;
    return guarded([&] {
        return exchange(marlox::lib::status_request(), timeout_ms, R"({"running":true})",
                        R"({"running":false})", running, reply);
    });
}

MARLOX_API int marlox_disconnect(int timeout_ms, marlox_reply* reply) {
    return guarded([&] {
        return exchange(marlox::lib::disconnect_request(), timeout_ms, R"({"ok":true})",
                        R"({"ok":true})", nullptr, reply);
    });
}

MARLOX_API int marlox_open(int timeout_ms, marlox_session** session) {
    if (session == nullptr) return -EINVAL;
    return guarded([&] {
        std::unique_ptr<marlox_session> opened;
        const int result = marlox_session::open(Deadline(timeout_ms), opened);
        if (result == 0) *session = opened.release();
        return result;
    });
}

MARLOX_API int marlox_session_send_connect(marlox_session* session, const char* host,
                                           const char* port, const char* username,
                                           const char* ticket, size_t ticket_length,
                                           const char* trusted_cert, const char* realm,
                                           int timeout_ms) {
    if (session == nullptr || host == nullptr || port == nullptr || username == nullptr ||
        (ticket == nullptr && ticket_length > 0)) {
        return -EINVAL;
    }
    const std::string_view ticket_bytes(ticket == nullptr ? "" : ticket, ticket_length);
    if (!is_utf8(host) || !is_utf8(port) || !is_utf8(username) || !is_utf8(trusted_cert) ||
        !is_utf8(realm) || !marlox::protocol::is_valid_utf8(ticket_bytes)) {
        return -EINVAL;
    }
    return guarded([&] {
        marlox::lib::ConnectValues values{host, port, username, std::nullopt, std::nullopt};
        if (realm != nullptr) values.realm = realm;
        if (trusted_cert != nullptr) values.trusted_cert = trusted_cert;
        // The one copy of the ticket, wiped when it goes out of scope, whichever way.
        const marlox::os::Secret request = marlox::lib::connect_request(values, ticket_bytes);
        return session->send(request.view(), marlox_session::Stream::kConnect,
                             Deadline(timeout_ms));
    });
}

MARLOX_API int marlox_connect(const char* host, const char* port, const char* username,
                              const char* ticket, size_t ticket_length, const char* trusted_cert,
                              const char* realm, int timeout_ms, marlox_session** session) {
    if (session == nullptr) return -EINVAL;
    const Deadline deadline(timeout_ms);
    marlox_session* opened = nullptr;
    if (const int result = marlox_open(deadline.poll_ms(), &opened); result != 0) return result;
    const int result =
        marlox_session_send_connect(opened, host, port, username, ticket, ticket_length,
                                    trusted_cert, realm, deadline.poll_ms());
    if (result != 0) {
        marlox_session_free(opened);
        return result;
    }
    *session = opened;
    return 0;
}

MARLOX_API int marlox_watch(int timeout_ms, marlox_session** session) {
    if (session == nullptr) return -EINVAL;
    return guarded([&] {
        const Deadline deadline(timeout_ms);
        std::unique_ptr<marlox_session> opened;
        if (const int result = marlox_session::open(deadline, opened); result != 0) return result;
        const int result =
            opened->send(marlox::lib::watch_request(), marlox_session::Stream::kWatch, deadline);
        if (result == 0) *session = opened.release();
        return result;
    });
}

MARLOX_API int marlox_session_fd(const marlox_session* session) {
    return session == nullptr ? -EINVAL : session->fd();
}

MARLOX_API int marlox_session_next(marlox_session* session, marlox_event* event) {
    if (session == nullptr || event == nullptr) return -EINVAL;
    return guarded([&] { return session->next(*event); });
}

MARLOX_API int marlox_session_end_tunnel(marlox_session* session) {
    if (session == nullptr) return -EINVAL;
    return session->end_tunnel();
}

MARLOX_API void marlox_session_free(marlox_session* session) { delete session; }
