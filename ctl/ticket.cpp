// The ticket from a pipe, a file or a terminal without echo; never from the command line.
#include "ctl/ticket.h"

#include <unistd.h>

#include <optional>

#include "os/io.h"
#include "os/terminal.h"
#include "protocol/utf8.h"

namespace marlox::ctl {
namespace {

using Outcome = std::variant<std::string, Failure, Interrupted>;

Failure local_failure(std::string message) {
    return {ExitStatus::kLocalFailure, std::move(message)};
}

// Reads standard input up to the first line feed or its end.
Outcome read_first_line(SignalWatch& watch) {
    std::string line;
    for (;;) {
        auto woke = watch.wait_readable(STDIN_FILENO);
        if (!woke) return local_failure("cannot read the ticket: " + os::describe(woke.error()));
        if (*woke != 0) return Interrupted{*woke};
        char buffer[4096];
        auto got = os::read_some(STDIN_FILENO, buffer);
        if (!got) return local_failure("cannot read the ticket: " + os::describe(got.error()));
        const std::string_view chunk(buffer, *got);
        const std::size_t line_feed = chunk.find('\n');
        line.append(chunk.substr(0, line_feed));
        if (line.size() > kMaxTicketBytes) {
            return local_failure("the ticket is longer than " + std::to_string(kMaxTicketBytes) +
                                 " bytes");
        }
        if (*got == 0 || line_feed != std::string_view::npos) return line;
    }
}

Outcome ask_on_terminal(std::string_view username, SignalWatch& watch) {
    auto quiet = os::EchoOff::start(STDIN_FILENO);
    if (!quiet) {
        return local_failure("cannot switch off echo: " + os::describe(quiet.error()));
    }
    const std::string prompt = "Password for " + std::string(username) + ": ";
    if (!os::write_all(STDERR_FILENO, prompt)) return local_failure("cannot show the prompt");
    Outcome typed = read_first_line(watch);
    // Enter echoes its line feed; an interruption or Ctrl-D does not, so end the prompt line.
    if (!std::holds_alternative<std::string>(typed)) (void)os::write_all(STDERR_FILENO, "\n");
    return typed;
}

}  // namespace

std::string_view strip_line_end(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

std::variant<std::string, Failure, Interrupted> read_ticket(std::string_view username,
                                                            SignalWatch& watch) {
    const bool from_terminal = os::is_terminal(STDIN_FILENO);
    Outcome read = from_terminal ? ask_on_terminal(username, watch) : read_first_line(watch);
    auto* line = std::get_if<std::string>(&read);
    if (line == nullptr) return read;
    std::string ticket(strip_line_end(*line));
    if (ticket.empty()) {
        return local_failure(from_terminal ? "no password given"
                                           : "no ticket on standard input (give the password "
                                             "as its first line)");
    }
    if (!protocol::is_valid_utf8(ticket)) return local_failure("the ticket is not valid UTF-8");
    return ticket;
}

}  // namespace marlox::ctl
