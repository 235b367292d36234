// Reading the ticket (the VPN password): from standard input, or asked for on its terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "ctl/failure.h"
#include "ctl/signal_watch.h"
#include "os/secret.h"

namespace marlox::ctl {

// Longer input is refused here; the daemon's own limit on a request is lower still.
inline constexpr std::size_t kMaxTicketBytes = 1024 * 1024;

struct Interrupted {
    int signal;
};

// The ticket is the first line of standard input. When standard input is a terminal, the
// prompt goes to standard error and the line is typed without echo. An empty ticket, input
// that is not UTF-8 or longer than kMaxTicketBytes, and a read error are failures; a signal
// from the watch interrupts the wait (the terminal is restored first). The ticket comes in a
// Secret: the caller's copy is the only one left, and it is wiped when it goes.
std::variant<os::Secret, Failure, Interrupted> read_ticket(std::string_view username,
                                                           SignalWatch& watch);

// line without its line feed and a carriage return right before it, if present (a ticket
// file written on another system may end its line with CR LF).
std::string_view strip_line_end(std::string_view line);

}  // namespace marlox::ctl
