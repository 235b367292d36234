// The request lines libmarlox sends, built with a JSON encoder so every value is escaped
// (the ticket by hand, the same way, into a buffer that is wiped).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/secret.h"

namespace marlox::lib {

// The values of a connect request but the ticket, which travels apart.
struct ConnectValues {
    std::string_view host;
    std::string_view port;
    std::string_view username;
    std::optional<std::string_view> realm;
    std::optional<std::string_view> trusted_cert;
};

// {"cmd":"status"}, {"cmd":"disconnect"} and {"cmd":"watch"}, each ended by a line feed.
std::string status_request();
std::string disconnect_request();
std::string watch_request();

// {"cmd":"connect", ...} with host, port, username and ticket, and realm and trusted_cert
// only when given (the daemon then uses its own defaults), ended by a line feed. A value
// holding a line feed leaves as the escape \n, so the request stays one line whatever the
// values hold; judging such values is the daemon's business. Values must be UTF-8. The
// request is a Secret, since it holds the ticket.
os::Secret connect_request(const ConnectValues& options, std::string_view ticket);

}  // namespace marlox::lib
