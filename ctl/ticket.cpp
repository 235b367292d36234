// The ticket from a pipe, a file or a terminal without echo; never from the command line.
#include "ctl/ticket.h"

#include <unistd.h>

#include <string>

#include "ctl/quiet_terminal.h"
#include "os/io.h"
#include "os/terminal.h"
#include "protocol/utf8.h"

namespace marlox::ctl {
namespace {

using Outcome = std::variant<os::Secret, Failure, Interrupted>;

Failure local_failure(std::string message) {
    return {ExitStatus::kLocalFailure, std::move(message)};
}

// Reads standard input up to the first line feed or its end, straight into the buffer that
// is wiped: no other copy of the ticket is made on the way.
Outcome read_first_line(SignalWatch& watch) {
    // One byte more than a ticket may have: filling it means the line is too long.
    os::Secret line(kMaxTicketBytes + 1);
    for (;;) {
        if (line.size() > kMaxTicketBytes) {
            return local_failure("the ticket is longer than " + std::to_string(kMaxTicketBytes) +
                                 " bytes");
        }
        auto woke = watch.wait_readable(STDIN_FILENO);
        if (!woke) return local_failure("cannot read the ticket: " + os::describe(woke.error()));
        if (*woke != 0) return Interrupted{*woke};
        auto got = os::read_some(STDIN_FILENO, line.spare());
        if (!got) return local_failure("cannot read the ticket: " + os::describe(got.error()));
        const std::size_t before = line.size();
        line.commit(*got);
        const std::size_t line_feed = line.view().find('\n', before);
        if (line_feed != std::string_view::npos) {
            line.truncate(line_feed);
            return line;
        }
        if (*got == 0) return line;
    }
}

Outcome ask_on_terminal(std::string_view username, SignalWatch& watch) {
    const std::string prompt = "Password for " + std::string(username) + ": ";
    auto quiet = QuietTerminal::start(STDIN_FILENO);
    if (!quiet) {
        return local_failure("cannot switch off echo: " + os::describe(quiet.error()));
    }
    if (!quiet->show(prompt)) return local_failure("cannot show the prompt");
    Outcome typed = read_first_line(watch);
    // Enter echoes its line feed; an interruption or Ctrl-D does not, so end the prompt line.
    if (!std::holds_alternative<os::Secret>(typed)) (void)os::write_all(STDERR_FILENO, "\n");
    return typed;
}

}  // namespace

std::string_view strip_line_end(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

std::variant<os::Secret, Failure, Interrupted> read_ticket(std::string_view username,
                                                           SignalWatch& watch) {
    const bool from_terminal = os::is_terminal(STDIN_FILENO);
    Outcome read = from_terminal ? ask_on_terminal(username, watch) : read_first_line(watch);
    auto* ticket = std::get_if<os::Secret>(&read);
    if (ticket == nullptr) return read;
    ticket->truncate(strip_line_end(ticket->view()).size());
    if (ticket->size() == 0) {
        return local_failure(from_terminal ? "no password given"
                                           : "no ticket on standard input (give the password "
                                             "as its first line)");
    }
    if (!protocol::is_valid_utf8(ticket->view())) {
        return local_failure("the ticket is not valid UTF-8");
    }
    return read;
}

}  // namespace marlox::ctl
