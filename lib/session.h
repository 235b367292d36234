// marlox_session: one connection to the daemon, its lines read without ever blocking.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "lib/deadline.h"
#include "lib/watch_line.h"
#include "marlox.h"
#include "os/unique_fd.h"

// The C API's opaque type. Every result is an int as the header defines them: 0, -errno or a
// MARLOX_E_ value; nothing here throws but std::bad_alloc, which the API turns into -ENOMEM.
struct marlox_session {
public:
    enum class Stream { kNone, kConnect, kWatch };

    // Connects to the daemon's socket within the deadline; -errno on failure.
    static int open(const marlox::lib::Deadline& deadline, std::unique_ptr<marlox_session>& out);

    int fd() const { return conn_.get(); }

    // Sends request whole before the deadline, then reads the answer as stream. A daemon that
    // answers before it has read the request (admission) may close first: a send that finds
    // the connection gone counts as sent, and the answer is read as usual.
    int send(std::string_view request, Stream stream, const marlox::lib::Deadline& deadline);
    bool sent() const { return stream_ != Stream::kNone; }

    // marlox_session_next() of the header.
    int next(marlox_event& event);

    // The first line of a single reply (status, disconnect), waiting until the deadline. Sets
    // line (without its line feed) and complete (false: the stream ended, or the line is longer
    // than any reply, before a line feed). Returns 0 or -errno.
    int first_line(const marlox::lib::Deadline& deadline, std::string& line, bool& complete);

    int end_tunnel();

private:
    explicit marlox_session(marlox::os::UniqueFd conn) : conn_(std::move(conn)) {}

    enum class Take { kLine, kNeedMore, kEnded, kTooLong };
    // The next whole line in buffer_, without its line feed, into line_.
    Take take_line();
    // One receive into buffer_: 0 (ended_ set at the end of stream), -EAGAIN or -errno.
    int receive();

    int line_event(marlox_event& event);
    int end_event(marlox_event& event);
    int fail(marlox_event& event, int result);
    void point_at_line(marlox_event& event) const;

    marlox::os::UniqueFd conn_;
    Stream stream_ = Stream::kNone;
    std::string buffer_;     // received, not yet handed out: from start_ on
    std::size_t start_ = 0;  // where the unread bytes begin
    bool ended_ = false;     // the daemon closed the connection
    bool first_ = true;      // no line handed out yet
    bool done_ = false;      // an error or the end was handed out: END from now on
    std::string line_;       // the text of the last event
    marlox::lib::WatchState state_;
};
