// Command-line parsing for marlox-ctl.
#include "ctl/arguments.h"

#include <algorithm>
#include <array>
#include <map>

#include "protocol/utf8.h"

namespace marlox::ctl {
namespace {

constexpr unsigned bit(Command command) { return 1u << static_cast<unsigned>(command); }

struct OptionSpec {
    std::string_view name;
    unsigned commands;  // bit(command) for each command that takes the option
    bool takes_value;
};

constexpr std::array<OptionSpec, 6> kOptions{{
    {"--json",
     bit(Command::kStatus) | bit(Command::kDisconnect) | bit(Command::kConnect) |
         bit(Command::kWatch),
     false},
    {"--host", bit(Command::kConnect), true},
    {"--port", bit(Command::kConnect), true},
    {"--username", bit(Command::kConnect), true},
    {"--realm", bit(Command::kConnect), true},
    {"--trusted-cert", bit(Command::kConnect), true},
}};

std::optional<Command> command_named(std::string_view word) {
    if (word == "status") return Command::kStatus;
    if (word == "disconnect") return Command::kDisconnect;
    if (word == "connect") return Command::kConnect;
    if (word == "watch") return Command::kWatch;
    return std::nullopt;
}

const OptionSpec* option_named(std::string_view name) {
    const auto* found = std::find_if(kOptions.begin(), kOptions.end(),
                                     [name](const OptionSpec& spec) { return spec.name == name; });
    return found == kOptions.end() ? nullptr : found;
}

std::string_view command_word(Command command) {
    switch (command) {
        case Command::kStatus:
            return "status";
        case Command::kDisconnect:
            return "disconnect";
        case Command::kWatch:
            return "watch";
        default:
            return "connect";
    }
}

// The options seen so far, by name, with their values ("" for a flag).
using Seen = std::map<std::string_view, std::string, std::less<>>;

std::optional<UsageError> check_against_command(Command command, const Seen& seen) {
    for (const auto& [name, value] : seen) {
        if ((option_named(name)->commands & bit(command)) == 0) {
            return UsageError{std::string(name) + " does not apply to " +
                              std::string(command_word(command))};
        }
    }
    if (command != Command::kConnect) return std::nullopt;
    for (const std::string_view required : {"--host", "--port", "--username"}) {
        if (!seen.contains(required)) {
            return UsageError{"connect needs " + std::string(required)};
        }
    }
    return std::nullopt;
}

Invocation build(Command command, Seen& seen) {
    Invocation invocation;
    invocation.command = command;
    invocation.json = seen.contains("--json");
    auto take = [&seen](std::string_view name) -> std::optional<std::string> {
        const auto found = seen.find(name);
        if (found == seen.end()) return std::nullopt;
        return std::move(found->second);
    };
    if (command == Command::kConnect) {
        invocation.connect.host = *take("--host");
        invocation.connect.port = *take("--port");
        invocation.connect.username = *take("--username");
        invocation.connect.realm = take("--realm");
        invocation.connect.trusted_cert = take("--trusted-cert");
    }
    return invocation;
}

}  // namespace

std::variant<Invocation, UsageError> parse_arguments(std::span<const std::string_view> args) {
    for (const std::string_view arg : args) {
        Invocation only;
        if (arg == "-h" || arg == "--help") return only;  // kHelp is the default command
        if (arg == "--version") {
            only.command = Command::kVersion;
            return only;
        }
    }
    std::optional<Command> command;
    Seen seen;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (!arg.starts_with("-")) {
            if (command) return UsageError{"unexpected argument '" + std::string(arg) + "'"};
            command = command_named(arg);
            if (!command) return UsageError{"unknown command '" + std::string(arg) + "'"};
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        if (name == "--ticket" || name == "--password") {
            return UsageError{
                "the ticket is never an argument (every user can see arguments "
                "in the process list): give it on standard input"};
        }
        const OptionSpec* spec = option_named(name);
        if (spec == nullptr) return UsageError{"unknown option " + std::string(name)};
        if (seen.contains(name)) return UsageError{std::string(name) + " given twice"};
        std::string value;
        if (!spec->takes_value) {
            if (equals != std::string_view::npos) {
                return UsageError{std::string(name) + " takes no value"};
            }
        } else if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return UsageError{std::string(name) + " needs a value"};
        }
        if (!protocol::is_valid_utf8(value)) {
            return UsageError{"the value of " + std::string(name) + " is not valid UTF-8"};
        }
        seen.emplace(name, std::move(value));
    }
    if (!command) return UsageError{"no command given"};
    if (auto error = check_against_command(*command, seen)) return *std::move(error);
    return build(*command, seen);
}

}  // namespace marlox::ctl
