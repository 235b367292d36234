// Watch states to words.
#include "ctl/watch_line.h"

#include <string_view>

namespace marlox::ctl {
namespace {

// The daemon's own texts are plain, but a terminal must not take orders from a line anyway.
std::string printable(std::string_view text) {
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown;
}

std::string number(int64_t value) { return value == MARLOX_ABSENT ? "?" : std::to_string(value); }

std::string process(const marlox_event& event) {
    return " (pid " + number(event.pid) + ", uid " + number(event.uid) + ")";
}

std::string idle(const marlox_event& event) {
    if (event.exit_status != MARLOX_ABSENT) {
        return "ended: exit status " + number(event.exit_status);
    }
    if (event.signal_number != MARLOX_ABSENT) {
        return "ended: killed by signal " + number(event.signal_number);
    }
    if (event.start_error != nullptr) return "failed to start: " + printable(event.start_error);
    return "idle";
}

std::string stopping(const marlox_event& event) {
    if (event.by == MARLOX_BY_DISCONNECT) {
        return "stopping: disconnect from uid " + number(event.by_uid);
    }
    if (event.by == MARLOX_BY_APP) return "stopping: the application closed its connection";
    return "stopping" + process(event);
}

}  // namespace

std::string describe_state(const marlox_event& event) {
    switch (event.state) {
        case MARLOX_STATE_IDLE:
            return idle(event);
        case MARLOX_STATE_STARTING:
            return "starting (uid " + number(event.uid) + ")";
        case MARLOX_STATE_CONNECTING:
            return "connecting" + process(event);
        case MARLOX_STATE_UP:
            return "up" + process(event);
        case MARLOX_STATE_STOPPING:
            return stopping(event);
        default:
            return printable(event.state_name);
    }
}

}  // namespace marlox::ctl
