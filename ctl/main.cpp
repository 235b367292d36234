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
            return os::write_all(STDOUT_FILENO, ctl::help_text())
                       ? 0
                       : ctl::code(ctl::ExitStatus::kLocalFailure);
        case ctl::Command::kVersion:
            return os::write_all(STDOUT_FILENO, "marlox-ctl " MARLOX_VERSION "\n")
                       ? 0
                       : ctl::code(ctl::ExitStatus::kLocalFailure);
        case ctl::Command::kStatus:
            return ctl::run_status(invocation.json);
        case ctl::Command::kDisconnect:
            return ctl::run_disconnect();
        case ctl::Command::kConnect:
            return ctl::run_connect(invocation.connect);
    }
    return ctl::code(ctl::ExitStatus::kUsage);
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard stream must not let the socket take its number.
    os::ensure_standard_descriptors();
    // Only allocation can throw below this point; it ends the run as a local failure.
    try {
        return run(argc, argv);
    } catch (const std::exception&) {
        (void)os::write_all(STDERR_FILENO, "marlox-ctl: out of memory\n");
        return ctl::code(ctl::ExitStatus::kLocalFailure);
    }
}
