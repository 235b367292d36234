// A watch line's members, read the way every version-1 client must: unknown ones ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "marlox.h"

namespace marlox::lib {

struct WatchState {
    std::string name;  // the "state" member
    marlox_state state = MARLOX_STATE_UNKNOWN;
    int64_t uid = MARLOX_ABSENT;
    int64_t pid = MARLOX_ABSENT;
    marlox_by by = MARLOX_BY_NONE;
    int64_t by_uid = MARLOX_ABSENT;
    int64_t exit_status = MARLOX_ABSENT;
    int64_t signal_number = MARLOX_ABSENT;
    std::optional<std::string> start_error;  // the "error" member
};

// line (without its line feed) as a state; nullopt when it is not a JSON object with a string
// "state", or when one of the members above has the wrong type. Members and states a later
// daemon adds are tolerated. Never throws but std::bad_alloc.
std::optional<WatchState> parse_watch_line(std::string_view line);

}  // namespace marlox::lib
