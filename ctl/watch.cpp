// marlox-ctl watch: the tunnel's states as the daemon reports them.
#include <variant>

#include "ctl/commands.h"
#include "ctl/failure.h"
#include "ctl/reply.h"
#include "ctl/reply_stream.h"
#include "ctl/request_builder.h"
#include "ctl/watch_line.h"
#include "os/io.h"
#include "os/socket.h"

namespace marlox::ctl {

int run_watch(bool json) {
    auto conn = os::connect_unix(kSocketPath);
    if (!conn) return report(unreachable(kSocketPath, conn.error()));
    // A failed send is not the end: a refused user's reply is still waiting to be read.
    (void)os::send_all(conn->get(), watch_request());
    ReplyStream stream(conn->get(), /*watch=*/nullptr);
    for (bool first = true;; first = false) {
        auto line = stream.first_line();
        if (!line) {
            return report({ExitStatus::kBadReply,
                           "connection to the daemon lost: " + os::describe(line.error())});
        }
        if (!line->complete) {
            // The daemon closed the stream: the normal end, unless it said nothing at all.
            if (line->text.empty() && !first) return code(ExitStatus::kOk);
            return report(bad_reply(line->text));
        }
        // Only the first line can be a reply; the rest are states.
        if (first) {
            const Reply reply = classify_reply(line->text);
            if (is_error(reply.kind)) return report(failure_for(reply));
        }
        const std::string shown = json ? line->text : describe_watch_line(line->text);
        if (shown.empty()) return report(bad_reply(line->text));
        if (const int status = write_output(shown + "\n"); status != code(ExitStatus::kOk)) {
            return status;
        }
    }
}

}  // namespace marlox::ctl
