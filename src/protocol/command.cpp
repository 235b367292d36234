// Command words to commands.
#include "protocol/command.h"

namespace marlox::protocol {

Command command_of(const Request& request) {
    const auto word = request.member("cmd");
    if (word == "status") return Command::kStatus;
    if (word == "disconnect") return Command::kDisconnect;
    if (word == "connect") return Command::kConnect;
    if (word == "watch") return Command::kWatch;
    return Command::kUnknown;
}

}  // namespace marlox::protocol
