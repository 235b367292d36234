// ReplyStream: the daemon's side of one connection, read as a first line, then as it comes.
#pragma once

#include <cstddef>
#include <string>

#include "ctl/signal_watch.h"
#include "os/result.h"

namespace marlox::ctl {

// A first line longer than this cannot be one of the daemon's replies.
inline constexpr std::size_t kMaxReplyLine = 4096;

// Reads one connection (borrowed: the caller owns and closes it). With a SignalWatch, the
// first signal shuts the sending side down, which makes the daemon end the tunnel, and the
// reading goes on to the end of stream; a second signal ends the process by that signal at
// once. A connection reset counts as the end of stream: the daemon resets a connection when it
// closes it without having read all of the request, as it does after "unauthorized".
class ReplyStream {
public:
    ReplyStream(int conn, SignalWatch* watch) : conn_(conn), watch_(watch) {}

    struct FirstLine {
        std::string text;  // without the line feed
        bool complete;     // a line feed ended it (not the end of stream or kMaxReplyLine)
    };
    // Reads up to the first line feed; bytes after it are kept for next().
    os::Result<FirstLine> first_line();

    // The next bytes: what first_line() left over, then what arrives. Empty at end of stream.
    os::Result<std::string> next();

    // The signal that closed the sending side, or 0.
    int interrupted_by() const { return interrupted_by_; }

private:
    // Waits for data (handling signals) and appends one receive to pending_.
    os::Result<void> receive();
    os::Result<void> on_signal(int sig);

    int conn_;
    SignalWatch* watch_;  // may be null: signals keep their default actions
    std::string pending_;
    bool ended_ = false;
    int interrupted_by_ = 0;
};

}  // namespace marlox::ctl
