// Tests of the watch states in words, from lines as the library reads them.
#include "ctl/watch_line.h"

#include <gtest/gtest.h>

#include "lib/watch_line.h"

namespace marlox::ctl {
namespace {

// The event libmarlox makes of line.
std::string words(std::string_view line) {
    const auto state = lib::parse_watch_line(line);
    if (!state) return "(refused)";
    marlox_event event{};
    event.state = state->state;
    event.state_name = state->name.c_str();
    event.uid = state->uid;
    event.pid = state->pid;
    event.by = state->by;
    event.by_uid = state->by_uid;
    event.exit_status = state->exit_status;
    event.signal_number = state->signal_number;
    event.start_error = state->start_error ? state->start_error->c_str() : nullptr;
    return describe_state(event);
}

TEST(WatchLineTest, EveryStateInWordsAndTheUnknownToleratedOrRefused) {
    const struct {
        std::string_view line;
        std::string_view words;
    } cases[] = {
        {R"({"state":"idle"})", "idle"},
        {R"({"state":"starting","uid":1000})", "starting (uid 1000)"},
        {R"({"state":"connecting","uid":1000,"pid":1234})", "connecting (pid 1234, uid 1000)"},
        {R"({"state":"up","uid":1000,"pid":1234})", "up (pid 1234, uid 1000)"},
        {R"({"state":"stopping","uid":1000,"pid":1234,"by":"disconnect","by_uid":1001})",
         "stopping: disconnect from uid 1001"},
        {R"({"state":"stopping","uid":1000,"pid":1234,"by":"app"})",
         "stopping: the application closed its connection"},
        {R"({"state":"stopping","uid":1000,"pid":1234,"by":"timer"})",
         "stopping (pid 1234, uid 1000)"},
        {R"({"state":"idle","exit":1})", "ended: exit status 1"},
        {R"({"state":"idle","signal":9})", "ended: killed by signal 9"},
        {R"x({"state":"idle","error":"spawn: No such file or directory (os error 2)"})x",
         "failed to start: spawn: No such file or directory (os error 2)"},
        // Added later by a newer daemon: shown, not refused.
        {R"({"state":"up","uid":1000,"pid":1234,"since":5})", "up (pid 1234, uid 1000)"},
        {R"({"state":"paused\u001b[2J"})", "paused?[2J"},
        {R"({"running":false})", "(refused)"},
        {R"({"state":1})", "(refused)"},
        {R"({"state":"up","pid":"1234"})", "(refused)"},
        {"up", "(refused)"},
    };
    for (const auto& c : cases) EXPECT_EQ(words(c.line), c.words) << c.line;
}

}  // namespace
}  // namespace marlox::ctl
