// Tests of the watch lines in words.
#include "ctl/watch_line.h"

#include <gtest/gtest.h>

namespace marlox::ctl {
namespace {

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
        {R"({"state":"idle","exit":1})", "ended: exit status 1"},
        {R"({"state":"idle","signal":9})", "ended: killed by signal 9"},
        {R"x({"state":"idle","error":"spawn: No such file or directory (os error 2)"})x",
         "failed to start: spawn: No such file or directory (os error 2)"},
        // Added later by a newer daemon: shown, not refused.
        {R"({"state":"up","uid":1000,"pid":1234,"since":5})", "up (pid 1234, uid 1000)"},
        {R"({"state":"paused\u001b[2J"})", "paused?[2J"},
        {R"({"running":false})", ""},
        {R"({"state":1})", ""},
        {"up", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(describe_watch_line(c.line), c.words) << c.line;
}

}  // namespace
}  // namespace marlox::ctl
