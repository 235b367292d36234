// marlox-ctl: the command-line client of marlox-helper, for administrators, scripts and tests.
#include <unistd.h>

#include <exception>
#include <string_view>
#include <variant>
#include <vector>

#include "ctl/arguments.h"
#include "ctl/commands.h"
#include "ctl/exit_status.h"
#include "ctl/help.h"
#include "os/io.h"
#include "os/process.h"

using namespace marlox;

namespace {

int run(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto parsed = ctl::parse_arguments(args);
    if (const auto* error = std::get_if<ctl::UsageError>(&parsed)) {
        (void)os::write_all(STDERR_FILENO, "marlox-ctl: " + error->message +
                                               "\nTry 'marlox-ctl --help' for more.\n");
        return ctl::code(ctl::ExitStatus::kUsage);
    }
    const auto& invocation = std::get<ctl::Invocation>(parsed);
    switch (invocation.command) {
        case ctl::Command::kHelp:
            return ctl::write_output(ctl::help_text());
        case ctl::Command::kVersion:
            return ctl::write_output("marlox-ctl " MARLOX_VERSION "\n");
        case ctl::Command::kStatus:
            return ctl::run_status(invocation.json);
        case ctl::Command::kDisconnect:
            return ctl::run_disconnect(invocation.json);
        case ctl::Command::kConnect:
            return ctl::run_connect(invocation.connect, invocation.json);
        case ctl::Command::kWatch:
            return ctl::run_watch(invocation.json);
    }
    return ctl::code(ctl::ExitStatus::kUsage);
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard stream must not let the socket take its number, and output written
    // to a closed standard output is a failure (status 1), not a success that went nowhere.
    os::ensure_standard_descriptors(os::ClosedStream::kFailing);
    // A reader that went away (marlox-ctl status | head -c 1) is a failed write with a message
    // and status 1, not death by SIGPIPE. The socket's sends do not raise it either way.
    (void)os::ignore_sigpipe();
    // Only allocation can throw below this point; it ends the run as a local failure.
    try {
        return run(argc, argv);
    } catch (const std::exception&) {
        (void)os::write_all(STDERR_FILENO, "marlox-ctl: out of memory\n");
        return ctl::code(ctl::ExitStatus::kLocalFailure);
    }
}
