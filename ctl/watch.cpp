// marlox-ctl watch: the tunnel's states as the daemon reports them.
#include <cerrno>
#include <string>

#include "ctl/commands.h"
#include "ctl/failure.h"
#include "ctl/watch_line.h"
#include "marlox.h"
#include "os/poll.h"

namespace marlox::ctl {

int run_watch(bool json) {
    marlox_session* opened = nullptr;
    if (const int result = marlox_watch(/*timeout_ms=*/-1, &opened); result != 0) {
        return report(unreachable(kSocketPath, os::Errno{-result}));
    }
    const Session owned(opened);
    marlox_session* const session = owned.get();
    for (bool first = true;;) {
        marlox_event event;
        const int result = marlox_session_next(session, &event);
        if (result == -EAGAIN) {
            auto woke = os::wait_ready(marlox_session_fd(session), os::Readiness::kReadable,
                                       /*watch_fd=*/-1, /*timeout_ms=*/-1);
            if (!woke) {
                return report({ExitStatus::kBadReply,
                               "connection to the daemon lost: " + os::describe(woke.error())});
            }
            continue;
        }
        const std::string_view text(event.text, event.length);
        if (result == MARLOX_E_UNEXPECTED) return report(bad_reply(text));
        if (result != 0) {
            return report({ExitStatus::kBadReply,
                           "connection to the daemon lost: " + os::describe(os::Errno{-result})});
        }
        switch (event.type) {
            case MARLOX_EVENT_END:
                // The daemon closed the stream: the normal end, unless it cut a line short.
                if (text.empty()) return code(ExitStatus::kOk);
                return report(bad_reply(text));
            case MARLOX_EVENT_ERROR:
                // Only the first line can be a reply; later, it is a line this client cannot use.
                if (first)
                    return report(failure_for(event.error, text, event.detail ? event.detail : ""));
                return report(bad_reply("{\"error\":\"" + std::string(text) + "\"}"));
            default: {
                const std::string shown = json ? std::string(text) : describe_state(event);
                if (const int status = write_output(shown + "\n");
                    status != code(ExitStatus::kOk)) {
                    return status;
                }
            }
        }
        first = false;
    }
}

}  // namespace marlox::ctl
