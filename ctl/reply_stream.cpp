// Reading the daemon's answer, with Ctrl-C turned into the end of the tunnel.
#include "ctl/reply_stream.h"

#include <cerrno>
#include <utility>

#include "os/io.h"
#include "os/signals.h"
#include "os/socket.h"

namespace marlox::ctl {

os::Result<ReplyStream::FirstLine> ReplyStream::first_line() {
    for (;;) {
        const std::size_t line_feed = pending_.find('\n');
        if (line_feed != std::string::npos) {
            FirstLine line{pending_.substr(0, line_feed), true};
            pending_.erase(0, line_feed + 1);
            return line;
        }
        if (ended_ || pending_.size() >= kMaxReplyLine) {
            return FirstLine{std::exchange(pending_, {}), false};
        }
        auto received = receive();
        if (!received) return received.error();
    }
}

os::Result<std::string> ReplyStream::next() {
    if (pending_.empty() && !ended_) {
        auto received = receive();
        if (!received) return received.error();
    }
    return std::exchange(pending_, {});
}

os::Result<void> ReplyStream::receive() {
    if (watch_ != nullptr) {
        for (;;) {
            auto woke = watch_->wait_readable(conn_);
            if (!woke) return woke.error();
            if (*woke == 0) break;
            auto handled = on_signal(*woke);
            if (!handled) return handled.error();
        }
    }
    char buffer[16 * 1024];
    auto got = os::recv_some(conn_, buffer);
    if (!got) {
        if (got.error().code != ECONNRESET) return got.error();
        ended_ = true;
        return {};
    }
    if (*got == 0) ended_ = true;
    pending_.append(buffer, *got);
    return {};
}

os::Result<void> ReplyStream::on_signal(int sig) {
    if (interrupted_by_ != 0) os::end_by_signal(sig);
    interrupted_by_ = sig;
    // End of stream for the daemon's watcher, which ends the tunnel; openfortivpn's last
    // lines still arrive on the receiving side.
    auto shut = os::shutdown_sending(conn_);
    // Already shut down by the daemon: the end of stream is on its way anyway.
    if (!shut && shut.error().code != ENOTCONN) return shut.error();
    return {};
}

}  // namespace marlox::ctl
