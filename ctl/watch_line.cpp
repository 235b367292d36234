// Watch lines to words.
#include "ctl/watch_line.h"

#include <nlohmann/json.hpp>

namespace marlox::ctl {
namespace {

using nlohmann::json;

// The daemon's own texts are plain, but a terminal must not take orders from a line anyway.
std::string printable(std::string_view text) {
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown;
}

std::string number(const json& line, const char* name) {
    const auto found = line.find(name);
    if (found == line.end() || !found->is_number_integer()) return "?";
    return found->dump();
}

std::string text(const json& line, const char* name) {
    const auto found = line.find(name);
    if (found == line.end() || !found->is_string()) return {};
    return printable(found->get_ref<const std::string&>());
}

std::string process(const json& line) {
    return " (pid " + number(line, "pid") + ", uid " + number(line, "uid") + ")";
}

std::string idle(const json& line) {
    if (line.contains("exit")) return "ended: exit status " + number(line, "exit");
    if (line.contains("signal")) return "ended: killed by signal " + number(line, "signal");
    if (line.contains("error")) return "failed to start: " + text(line, "error");
    return "idle";
}

std::string stopping(const json& line) {
    const std::string by = text(line, "by");
    if (by == "disconnect") return "stopping: disconnect from uid " + number(line, "by_uid");
    if (by == "app") return "stopping: the application closed its connection";
    return "stopping" + process(line);
}

}  // namespace

std::string describe_watch_line(std::string_view line) {
    const json parsed = json::parse(line, /*cb=*/nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) return {};
    const std::string state = text(parsed, "state");
    if (state.empty()) return {};
    if (state == "idle") return idle(parsed);
    if (state == "starting") return "starting (uid " + number(parsed, "uid") + ")";
    if (state == "connecting" || state == "up") return state + process(parsed);
    if (state == "stopping") return stopping(parsed);
    return state;
}

}  // namespace marlox::ctl
