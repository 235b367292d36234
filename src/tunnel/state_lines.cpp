// Watch lines and audit lines, built by hand: a handful of fixed shapes.
#include "tunnel/state_lines.h"

#include <cstdio>

#include "protocol/utf8.h"

namespace marlox::tunnel {
namespace {

std::string hex_escape(const char* format, unsigned value) {
    char text[8];
    (void)std::snprintf(text, sizeof text, format, value);
    return text;
}

// A JSON string's content: only what JSON requires is escaped.
std::string json_escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += hex_escape("\\u%04x", static_cast<unsigned char>(c));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string tunnel_of(const TunnelState& state) {
    return "uid=" + std::to_string(state.uid) + " pid=" + std::to_string(state.pid);
}

}  // namespace

std::string watch_line(const TunnelState& state) {
    const auto with_ids = [&state](std::string_view name) {
        std::string line = "{\"state\":\"";
        line.append(name).append("\",\"uid\":").append(std::to_string(state.uid));
        if (state.phase != Phase::kStarting)
            line.append(",\"pid\":").append(std::to_string(state.pid));
        return line;
    };
    switch (state.phase) {
        case Phase::kIdle:
            return "{\"state\":\"idle\"}\n";
        case Phase::kStarting:
            return with_ids("starting") + "}\n";
        case Phase::kConnecting:
            return with_ids("connecting") + "}\n";
        case Phase::kUp:
            return with_ids("up") + "}\n";
        case Phase::kStopping:
            if (!state.stopped_by) return with_ids("stopping") + ",\"by\":\"app\"}\n";
            return with_ids("stopping") +
                   ",\"by\":\"disconnect\",\"by_uid\":" + std::to_string(*state.stopped_by) + "}\n";
    }
    return {};
}

std::string ended_line(const os::ProcessEnd& end) {
    return std::string("{\"state\":\"idle\",\"") + (end.by_signal ? "signal" : "exit") +
           "\":" + std::to_string(end.number) + "}\n";
}

std::string failed_line(std::string_view error) {
    return "{\"state\":\"idle\",\"error\":\"" + json_escaped(error) + "\"}\n";
}

std::string starting_text(uid_t uid, const StartDetails& details) {
    return "tunnel starting: uid=" + std::to_string(uid) + " host=" + quoted_for_log(details.host) +
           " port=" + quoted_for_log(details.port) +
           " username=" + quoted_for_log(details.username);
}

std::string connecting_text(const TunnelState& state) {
    return "tunnel connecting: " + tunnel_of(state);
}

std::string up_text(const TunnelState& state) { return "tunnel up: " + tunnel_of(state); }

std::string stopped_by_disconnect_text(const TunnelState& state) {
    return "tunnel stopping: " + tunnel_of(state) +
           " by disconnect from uid=" + std::to_string(state.stopped_by.value_or(0));
}

std::string ended_text(const TunnelState& state, const std::optional<os::ProcessEnd>& end) {
    std::string text = "tunnel ended: " + tunnel_of(state);
    if (!end) return text + " (how is unknown)";
    return text + (end->by_signal ? " killed by signal " : " exit status ") +
           std::to_string(end->number);
}

std::string failed_text(uid_t uid, std::string_view error) {
    return "tunnel failed to start: uid=" + std::to_string(uid) + " error=" + quoted_for_log(error);
}

std::string quoted_for_log(std::string_view value) {
    const std::size_t full_size = value.size();
    std::string out = "\"";
    std::size_t taken = 0;
    while (taken < value.size() && taken < kMaxLoggedValue) {
        const std::string_view rest = value.substr(taken);
        const protocol::Utf8Char c = protocol::first_utf8_char(rest);
        const auto byte = static_cast<unsigned char>(rest.front());
        if (!c.valid) {
            for (std::size_t i = 0; i < c.length; ++i) {
                out += hex_escape("\\x%02x", static_cast<unsigned char>(rest[i]));
            }
        } else if (byte == '"' || byte == '\\') {
            out.push_back('\\');
            out.push_back(rest.front());
        } else if (byte < 0x20 || byte == 0x7f) {
            out += hex_escape("\\x%02x", byte);
        } else if (byte == 0xC2 && static_cast<unsigned char>(rest[1]) < 0xA0) {
            // U+0080 to U+009F: C1 controls, which some terminals act on.
            out += hex_escape("\\u%04x", static_cast<unsigned char>(rest[1]));
        } else {
            out.append(rest.substr(0, c.length));
        }
        taken += c.length;
    }
    out.push_back('"');
    if (taken < full_size) out += "(cut, " + std::to_string(full_size) + " bytes)";
    return out;
}

}  // namespace marlox::tunnel
