// Failure: the one message on standard error and the exit status that end a marlox-ctl run.
#pragma once

#include <string>
#include <string_view>

#include "ctl/exit_status.h"
#include "ctl/reply.h"
#include "os/result.h"

namespace marlox::ctl {

struct Failure {
    ExitStatus status;
    std::string message;  // one line, without the "marlox-ctl: " prefix or a line feed
};

// The failure an error reply stands for. kind must be an error (is_error(kind)).
Failure failure_for(const Reply& reply);

// The socket could not be reached at all.
Failure unreachable(std::string_view socket_path, os::Errno error);

// The daemon answered something this command cannot use (line may be empty: no reply).
Failure bad_reply(std::string_view line);

// Writes "marlox-ctl: " + message + "\n" to standard error and returns the exit status.
int report(const Failure& failure);

}  // namespace marlox::ctl
