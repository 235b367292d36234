// Reading the daemon's lines without blocking, and turning them into events.
#include "lib/session.h"

#include <cerrno>

#include "lib/reply.h"
#include "os/io.h"
#include "os/poll.h"
#include "os/socket.h"

namespace {

using marlox::lib::Deadline;

constexpr const char* kSocketPath = "/run/marlox/helper.sock";

// The longest line the daemon sends, its line feed included: output lines leave in pieces of
// at most 64 KiB. A longer one means the peer is not the daemon.
constexpr std::size_t kMaxLine = 65536 + 1;
constexpr std::size_t kReceiveBytes = 65536;

}  // namespace

int marlox_session::open(const Deadline& deadline, std::unique_ptr<marlox_session>& out) {
    auto conn = marlox::os::connect_unix_within(kSocketPath, deadline.poll_ms());
    if (!conn) return -conn.error().code;
    out.reset(new marlox_session(std::move(*conn)));
    return 0;
}

int marlox_session::send(std::string_view request, Stream stream, const Deadline& deadline) {
    if (sent()) return -EINVAL;
    while (!request.empty()) {
        auto n = marlox::os::send_some_nowait(conn_.get(), request);
        if (n) {
            request.remove_prefix(*n);
            continue;
        }
        const int code = n.error().code;
        if (code == EPIPE || code == ECONNRESET) break;
        if (code != EAGAIN) return -code;
        if (deadline.expired()) return -ETIMEDOUT;
        auto woke = marlox::os::wait_ready(conn_.get(), marlox::os::Readiness::kWritable,
                                           /*watch_fd=*/-1, deadline.poll_ms());
        if (!woke) return -woke.error().code;
    }
    stream_ = stream;
    return 0;
}

marlox_session::Take marlox_session::take_line() {
    const std::size_t line_feed = buffer_.find('\n', start_);
    if (line_feed != std::string::npos) {
        line_.assign(buffer_, start_, line_feed - start_);
        start_ = line_feed + 1;
        return Take::kLine;
    }
    if (buffer_.size() - start_ >= kMaxLine) return Take::kTooLong;
    return ended_ ? Take::kEnded : Take::kNeedMore;
}

int marlox_session::receive() {
    // Only a part of a line is left before start_ moves on: keep the buffer small.
    buffer_.erase(0, start_);
    start_ = 0;
    const std::size_t had = buffer_.size();
    buffer_.resize(had + kReceiveBytes);
    auto got = marlox::os::recv_some_nowait(conn_.get(), {buffer_.data() + had, kReceiveBytes});
    buffer_.resize(had + (got ? *got : 0));
    if (!got) {
        // The daemon resets a connection it closes before reading all of the request, as it
        // does after "unauthorized": the answer is all there, this is its end.
        if (got.error().code == ECONNRESET) {
            ended_ = true;
            return 0;
        }
        return -got.error().code;
    }
    if (*got == 0) ended_ = true;
    return 0;
}

void marlox_session::point_at_line(marlox_event& event) const {
    event.text = line_.c_str();
    event.length = line_.size();
}

int marlox_session::fail(marlox_event& event, int result) {
    done_ = true;
    event.type = MARLOX_EVENT_END;
    point_at_line(event);
    return result;
}

int marlox_session::end_event(marlox_event& event) {
    done_ = true;
    event.type = MARLOX_EVENT_END;
    point_at_line(event);
    return 0;
}

int marlox_session::line_event(marlox_event& event) {
    const bool first = first_;
    first_ = false;
    std::optional<marlox_error> error;
    if (stream_ == Stream::kConnect) {
        // Only the first line of a connect stream can be the daemon's; the rest is output.
        if (first) error = marlox::lib::connect_error(line_);
    } else if (const auto text = marlox::lib::error_text(line_)) {
        error = marlox::lib::error_kind(*text);
    }
    if (error) {
        line_ = std::string(*marlox::lib::error_text(line_));
        done_ = true;
        event.type = MARLOX_EVENT_ERROR;
        event.error = *error;
        point_at_line(event);
        const std::string_view detail = marlox::lib::error_detail(*error, line_);
        if (!detail.empty() || *error == MARLOX_ERROR_SPAWN) {
            event.detail = line_.c_str() + (line_.size() - detail.size());
        }
        return 0;
    }
    point_at_line(event);
    if (stream_ == Stream::kConnect) {
        event.type = MARLOX_EVENT_LINE;
        return 0;
    }
    auto state = marlox::lib::parse_watch_line(line_);
    if (!state) return fail(event, MARLOX_E_UNEXPECTED);
    state_ = std::move(*state);
    event.type = MARLOX_EVENT_STATE;
    event.state = state_.state;
    event.state_name = state_.name.c_str();
    event.uid = state_.uid;
    event.pid = state_.pid;
    event.by = state_.by;
    event.by_uid = state_.by_uid;
    event.exit_status = state_.exit_status;
    event.signal_number = state_.signal_number;
    if (state_.start_error) event.start_error = state_.start_error->c_str();
    return 0;
}

int marlox_session::next(marlox_event& event) {
    event = marlox_event{};
    event.uid = event.pid = event.by_uid = MARLOX_ABSENT;
    event.exit_status = event.signal_number = MARLOX_ABSENT;
    if (!sent()) return -EINVAL;
    if (done_) {
        line_.clear();
        return end_event(event);
    }
    for (;;) {
        switch (take_line()) {
            case Take::kLine:
                return line_event(event);
            case Take::kTooLong:
                line_.assign(buffer_, start_);
                return fail(event, MARLOX_E_UNEXPECTED);
            case Take::kEnded: {
                line_.assign(buffer_, start_);
                start_ = buffer_.size();
                const bool first = first_;
                first_ = false;
                if (!first && line_.empty()) return end_event(event);
                // A watch stream the daemon cut off (a watcher that fell behind) has still
                // ended normally; a connect stream cut inside a line has broken.
                if (!first && stream_ == Stream::kWatch) return end_event(event);
                return fail(event, MARLOX_E_UNEXPECTED);
            }
            case Take::kNeedMore:
                if (const int result = receive(); result != 0) {
                    if (result == -EAGAIN) return result;
                    line_.clear();
                    return fail(event, result);
                }
                break;
        }
    }
}

int marlox_session::first_line(const Deadline& deadline, std::string& line, bool& complete) {
    for (;;) {
        const Take take = take_line();
        if (take == Take::kLine) {
            line = line_;
            complete = true;
            return 0;
        }
        if (take != Take::kNeedMore) {
            line.assign(buffer_, start_);
            complete = false;
            return 0;
        }
        const int result = receive();
        if (result == 0) continue;
        if (result != -EAGAIN) return result;
        if (deadline.expired()) return -ETIMEDOUT;
        auto woke = marlox::os::wait_ready(conn_.get(), marlox::os::Readiness::kReadable,
                                           /*watch_fd=*/-1, deadline.poll_ms());
        if (!woke) return -woke.error().code;
    }
}

int marlox_session::end_tunnel() {
    auto shut = marlox::os::shutdown_sending(conn_.get());
    return shut ? 0 : -shut.error().code;
}
