// libmarlox's C API on real sockets: what it makes of each answer (a stand-in on the daemon's
// path serves answers the real daemon would not give on demand), and a session driven by poll
// against the real daemon.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>

#include "marlox.h"
#include "os/io.h"
#include "os/socket.h"
#include "os/thread.h"
#include "support/fake_tunnel.h"
#include "support/integration_test.h"
#include "support/param_name.h"

namespace marlox::libtest {
namespace {

const std::string kSocketPath = "/run/marlox/helper.sock";
constexpr int kTimeoutMs = 5000;

// An event or result as one short word the table can compare.
std::string describe(int result, const marlox_event& event) {
    const std::string text(event.text == nullptr ? "" : event.text, event.length);
    if (result == MARLOX_E_UNEXPECTED) return "unexpected[" + text + "]";
    if (result != 0) return "errno " + std::to_string(-result);
    switch (event.type) {
        case MARLOX_EVENT_LINE:
            return "line[" + text + "]";
        case MARLOX_EVENT_ERROR:
            return "error" + std::to_string(event.error) + "[" + text + "]" +
                   (event.detail == nullptr ? "" : "(" + std::string(event.detail) + ")");
        case MARLOX_EVENT_STATE:
            return "state" + std::to_string(event.state) + "[" + event.state_name + "]";
        default:
            return text.empty() ? "end" : "end[" + text + "]";
    }
}

// Every event of session up to the end or a failure, each wait done by poll.
std::string drain(marlox_session* session) {
    std::string events;
    for (;;) {
        marlox_event event;
        const int result = marlox_session_next(session, &event);
        if (result == -EAGAIN) {
            pollfd fd{marlox_session_fd(session), POLLIN, 0};
            if (::poll(&fd, 1, kTimeoutMs) != 1) return events + "time-out";
            continue;
        }
        events += (events.empty() ? "" : " ") + describe(result, event);
        if (result != 0 || event.type == MARLOX_EVENT_END || event.type == MARLOX_EVENT_ERROR) {
            return events;
        }
    }
}

enum class Call { kStatus, kConnect, kWatch };

struct AnswerCase {
    std::string name;
    Call call;
    std::string answer;  // what the stand-in sends before it closes
    std::string events;  // what the client makes of it
};

void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }

std::string run(Call call) {
    if (call == Call::kStatus) {
        bool running = false;
        marlox_reply reply{};
        const int result = marlox_status(kTimeoutMs, &running, &reply);
        std::string shown = result == 0 ? (running ? "running" : "not running")
                                        : "result " + std::to_string(result) + " error" +
                                              std::to_string(reply.error) + "[" +
                                              std::string(reply.text, reply.length) + "]";
        marlox_reply_clear(&reply);
        return shown;
    }
    marlox_session* session = nullptr;
    const int opened = call == Call::kWatch ? marlox_watch(kTimeoutMs, &session)
                                            : marlox_connect("h", "443", "u", "t", 1, nullptr,
                                                             nullptr, kTimeoutMs, &session);
    if (opened != 0) return "open failed " + std::to_string(opened);
    std::string events = drain(session);
    marlox_session_free(session);
    return events;
}

class AnswerTest : public support::IntegrationTest,
                   public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, BecomesTheseEvents) {
    std::filesystem::create_directories("/run/marlox");
    auto listener = os::listen_unix(kSocketPath);
    ASSERT_TRUE(listener);
    auto server =
        os::JoinableThread::start([fd = listener->get(), answer = GetParam().answer]() noexcept {
            auto conn = os::accept_connection(fd);
            if (!conn) return;
            std::string request;
            char buffer[4096];
            while (request.find('\n') == std::string::npos) {
                auto got = os::recv_some(conn->get(), buffer);
                if (!got || *got == 0) break;
                request.append(buffer, *got);
            }
            (void)os::send_all(conn->get(), answer);
        });
    ASSERT_TRUE(server);
    const std::string events = run(GetParam().call);
    (void)::shutdown(listener->get(), SHUT_RDWR);  // unblocks a stand-in never connected to
    server->join();
    EXPECT_EQ(events, GetParam().events);
}

// The numbers are marlox_error and marlox_state values: 2 too many connections, 6 invalid
// field, 9 spawn, 10 other; states 0 unknown, 1 idle, 4 up.
INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTest,
    ::testing::Values(
        AnswerCase{"CapToStatus", Call::kStatus, "{\"error\":\"too many connections\"}\n",
                   "result -10001 error2[too many connections]"},
        AnswerCase{"UnknownErrorToStatus", Call::kStatus, "{\"error\":\"maintenance\"}\n",
                   "result -10001 error10[maintenance]"},
        AnswerCase{"CutOffStatus", Call::kStatus, "{\"running\":tr",
                   "result -10002 error0[{\"running\":tr]"},
        AnswerCase{"CapToConnect", Call::kConnect, "{\"error\":\"too many connections\"}\n",
                   "error2[too many connections]"},
        AnswerCase{"InvalidField", Call::kConnect, "{\"error\":\"invalid field: host\"}\n",
                   "error6[invalid field: host](host)"},
        AnswerCase{"SpawnError", Call::kConnect, "{\"error\":\"spawn: no way\"}\n",
                   "error9[spawn: no way](no way)"},
        AnswerCase{"UnknownFieldIsOutput", Call::kConnect, "{\"error\":\"invalid field: Host\"}\n",
                   "line[{\"error\":\"invalid field: Host\"}] end"},
        AnswerCase{"ErrorAfterTheFirstLineIsOutput", Call::kConnect,
                   "up\n{\"error\":\"bad json\"}\n", "line[up] line[{\"error\":\"bad json\"}] end"},
        AnswerCase{"NothingToConnect", Call::kConnect, "", "unexpected[]"},
        AnswerCase{"ConnectCutInsideALine", Call::kConnect, "a\nb", "line[a] unexpected[b]"},
        AnswerCase{"CapToWatch", Call::kWatch, "{\"error\":\"too many connections\"}\n",
                   "error2[too many connections]"},
        AnswerCase{"WatchEndsWhereverTheDaemonCutsIt", Call::kWatch,
                   "{\"state\":\"idle\"}\n{\"state\":\"paused\",\"why\":1}\n{\"sta",
                   "state1[idle] state0[paused] end[{\"sta]"},
        AnswerCase{"WatchLineThatIsNone", Call::kWatch, "{\"state\":\"up\",\"pid\":\"7\"}\n",
                   "unexpected[{\"state\":\"up\",\"pid\":\"7\"}]"}),
    [](const auto& info) { return info.param.name; });

class PollTest : public support::DaemonTest {
protected:
    support::DaemonOptions daemon_options() const override {
        support::DaemonOptions options;
        options.extra_env.push_back(support::FakeTunnel::env_entry());
        return options;
    }
};

TEST_F(PollTest, SessionDescriptorWakesPollOnlyWhenAStateArrives) {
    const support::FakeTunnel fake;
    fake.write_script("h", "wait-term 20000\n");
    marlox_session* watch = nullptr;
    ASSERT_EQ(marlox_watch(kTimeoutMs, &watch), 0);
    pollfd fd{marlox_session_fd(watch), POLLIN, 0};
    ASSERT_EQ(::poll(&fd, 1, kTimeoutMs), 1);
    marlox_event event;
    ASSERT_EQ(marlox_session_next(watch, &event), 0);
    EXPECT_EQ(event.state, MARLOX_STATE_IDLE);
    EXPECT_EQ(marlox_session_next(watch, &event), -EAGAIN);
    EXPECT_EQ(::poll(&fd, 1, 50), 0);  // nothing happens, nothing to read

    marlox_session* tunnel = nullptr;
    ASSERT_EQ(marlox_connect("h", "443", "u", "t", 1, nullptr, nullptr, kTimeoutMs, &tunnel), 0);
    ASSERT_EQ(::poll(&fd, 1, kTimeoutMs), 1);
    ASSERT_EQ(marlox_session_next(watch, &event), 0);
    EXPECT_EQ(event.state, MARLOX_STATE_STARTING);
    EXPECT_EQ(event.uid, 0);
    marlox_session_free(tunnel);
    marlox_session_free(watch);
}

}  // namespace
}  // namespace marlox::libtest
