// CtlTest: the real daemon with the fake openfortivpn, driven through the real marlox-ctl.
#pragma once

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ctl_process.h"
#include "support/client.h"
#include "support/fake_tunnel.h"
#include "support/integration_test.h"

namespace marlox::ctltest {

using support::FakeTunnel;

inline constexpr std::string_view kRunning = "{\"running\":true}\n";
inline constexpr std::string_view kNotRunning = "{\"running\":false}\n";

class CtlTest : public support::DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        fake_.emplace();
    }

    support::DaemonOptions daemon_options() const override {
        support::DaemonOptions options;
        options.extra_env.push_back(FakeTunnel::env_entry());
        return options;
    }

    FakeTunnel& fake() { return *fake_; }

    // "connect" arguments for host (which picks the fake's script), then any extra ones.
    static std::vector<std::string> connect_args(const std::string& host,
                                                 std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"connect", "--host",     host,   "--port",
                                      "443",     "--username", "alice"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // The daemon's own answer to "status", asked without marlox-ctl.
    static std::string status_reply() {
        auto reply = support::exchange("{\"cmd\":\"status\"}\n");
        return reply ? reply->bytes : "harness: " + reply.error();
    }

    static bool status_becomes(bool running, milliseconds timeout = kDefaultTimeout) {
        const support::Deadline deadline(timeout);
        for (;;) {
            if (status_reply() == (running ? kRunning : kNotRunning)) return true;
            if (deadline.expired()) return false;
            std::this_thread::sleep_for(milliseconds(5));
        }
    }

    // A marlox-ctl connect to host that has given its ticket and whose fake now runs.
    Outcome<CtlProcess> start_connect(const std::string& host,
                                      std::vector<std::string> extra = {}) {
        fake().forget("ready");
        auto ctl = CtlProcess::start({connect_args(host, std::move(extra))});
        if (!ctl) return ctl;
        if (!ctl->write_input("s3cret\n")) return support::Failure{"could not give the ticket"};
        ctl->close_input();
        if (!fake().wait_for("ready")) {
            return support::Failure{"the fake never started; marlox-ctl said: " + ctl->err()};
        }
        return ctl;
    }

private:
    std::optional<FakeTunnel> fake_;
};

}  // namespace marlox::ctltest
