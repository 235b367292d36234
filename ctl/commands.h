// The three commands of marlox-ctl, each one whole run against the daemon.
#pragma once

#include <memory>
#include <string_view>

#include "ctl/arguments.h"
#include "marlox.h"

namespace marlox::ctl {

// The daemon's socket; the same fixed path the daemon serves.
inline constexpr const char* kSocketPath = "/run/marlox/helper.sock";

// Each returns the process exit status (see exit_status.h) after writing its output to
// standard output and any failure, as one line, to standard error. With json, every line of
// standard output is one JSON object: the daemon's reply line as it came ({"running":false},
// {"ok":true}), each output line of the tunnel as {"line":"TEXT"}, each watch line as it came.
int run_status(bool json);
int run_disconnect(bool json);
// Returns only when the daemon's stream has ended. Interrupted by SIGINT, SIGTERM or SIGHUP,
// it ends the tunnel, prints the rest of its output and then ends by that signal.
int run_connect(const ConnectOptions& options, bool json);

// Prints the daemon's state lines until the daemon closes the stream: each in words, or with
// json each line as it came. Signals keep their default actions.
int run_watch(bool json);

// A libmarlox session, freed (and its connection closed) on every way out of a command.
struct SessionDeleter {
    void operator()(marlox_session* session) const { marlox_session_free(session); }
};
using Session = std::unique_ptr<marlox_session, SessionDeleter>;

// Writes bytes to standard output: 0, or the failure reported and its status (1). SIGPIPE is
// ignored, so a closed pipe there is a failure like any other.
int write_output(std::string_view bytes);

}  // namespace marlox::ctl
