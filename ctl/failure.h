// Failure: the one message on standard error and the exit status that end a marlox-ctl run.
#pragma once

#include <string>
#include <string_view>

#include "ctl/exit_status.h"
#include "marlox.h"
#include "os/result.h"

namespace marlox::ctl {

struct Failure {
    ExitStatus status;
    std::string message;  // one line, without the "marlox-ctl: " prefix or a line feed
};

// The failure the daemon's error reply {"error":TEXT} stands for; detail as libmarlox gives it
// (the field's name, the spawn error's text). A TEXT this client does not know is an
// unexpected reply.
Failure failure_for(marlox_error error, std::string_view text, std::string_view detail);

// The socket could not be reached at all.
Failure unreachable(std::string_view socket_path, os::Errno error);

// The daemon answered something this command cannot use (line may be empty: no reply).
Failure bad_reply(std::string_view line);

// Writes "marlox-ctl: " + message + "\n" to standard error and returns the exit status.
int report(const Failure& failure);

}  // namespace marlox::ctl
