// Watch lines parsed with nlohmann-json, in its non-throwing form.
#include "lib/watch_line.h"

#include <array>
#include <limits>
#include <nlohmann/json.hpp>

namespace marlox::lib {
namespace {

using nlohmann::json;

struct StateWord {
    std::string_view word;
    marlox_state state;
};

constexpr std::array<StateWord, 5> kStates{{
    {"idle", MARLOX_STATE_IDLE},
    {"starting", MARLOX_STATE_STARTING},
    {"connecting", MARLOX_STATE_CONNECTING},
    {"up", MARLOX_STATE_UP},
    {"stopping", MARLOX_STATE_STOPPING},
}};

// Reads the integer member name into out, if the line has it; false when it is no integer.
bool read_integer(const json& line, const char* name, int64_t& out) {
    const auto found = line.find(name);
    if (found == line.end()) return true;
    if (found->is_number_unsigned()) {
        const auto value = found->get<uint64_t>();
        if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
        out = static_cast<int64_t>(value);
        return true;
    }
    if (!found->is_number_integer()) return false;
    out = found->get<int64_t>();
    return true;
}

// Reads the string member name into out, if the line has it; false when it is no string.
bool read_string(const json& line, const char* name, std::optional<std::string>& out) {
    const auto found = line.find(name);
    if (found == line.end()) return true;
    if (!found->is_string()) return false;
    out = found->get<std::string>();
    return true;
}

}  // namespace

std::optional<WatchState> parse_watch_line(std::string_view line) {
    const json parsed = json::parse(line, /*cb=*/nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) return std::nullopt;
    const auto state = parsed.find("state");
    if (state == parsed.end() || !state->is_string()) return std::nullopt;
    WatchState out;
    out.name = state->get<std::string>();
    for (const StateWord& word : kStates) {
        if (out.name == word.word) out.state = word.state;
    }
    std::optional<std::string> by;
    if (!read_integer(parsed, "uid", out.uid) || !read_integer(parsed, "pid", out.pid) ||
        !read_integer(parsed, "by_uid", out.by_uid) ||
        !read_integer(parsed, "exit", out.exit_status) ||
        !read_integer(parsed, "signal", out.signal_number) || !read_string(parsed, "by", by) ||
        !read_string(parsed, "error", out.start_error)) {
        return std::nullopt;
    }
    if (by) {
        out.by = *by == "disconnect" ? MARLOX_BY_DISCONNECT
                 : *by == "app"      ? MARLOX_BY_APP
                                     : MARLOX_BY_UNKNOWN;
    }
    return out;
}

}  // namespace marlox::lib
