// TunnelTest: a daemon whose openfortivpn is the fake, and helpers for "connect" requests.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "support/client.h"
#include "support/fake_tunnel.h"
#include "support/integration_test.h"

namespace marlox::support {

inline constexpr std::string_view kRunning = "{\"running\":true}\n";
inline constexpr std::string_view kNotRunning = "{\"running\":false}\n";
inline constexpr std::string_view kAlreadyConnected = "{\"error\":\"already connected\"}\n";
inline constexpr std::string_view kOk = "{\"ok\":true}\n";

// The request line of a "connect" carrying members (host, realm, ...).
inline std::string connect_line(nlohmann::json members) {
    members["cmd"] = "connect";
    return members.dump() + "\n";
}

class TunnelTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        fake_.emplace();
    }

    DaemonOptions daemon_options() const override {
        DaemonOptions options;
        options.extra_env.push_back(FakeTunnel::env_entry());
        return options;
    }

    FakeTunnel& fake() { return *fake_; }

    // The line the daemon logs when a client's going away ends the fake's tunnel.
    std::string watcher_line() {
        return "[marlox-helper] App 断开控制连接 → 结束隧道 pid=" +
               fake().read("pid").value_or("?") + "\n";
    }

    // The audit lines of the fake's tunnel started by uid 0 with host alone: starting and
    // connecting.
    std::string started_lines(std::string_view host) {
        return "[marlox-helper] tunnel starting: uid=0 host=\"" + std::string(host) +
               "\" port=\"\" username=\"\"\n[marlox-helper] tunnel connecting: uid=0 pid=" +
               fake().read("pid").value_or("?") + "\n";
    }
    // Its audit line once its process has ended `how` ("exit status 0", "killed by signal 9").
    std::string ended_line(std::string_view how) {
        return "[marlox-helper] tunnel ended: uid=0 pid=" + fake().read("pid").value_or("?") + " " +
               std::string(how) + "\n";
    }

    // A connection that has sent a "connect" with members; its fake has not necessarily
    // started yet (wait for the "ready" record).
    static Outcome<Client> send_connect(const nlohmann::json& members) {
        auto client = Client::connect();
        if (!client) return client;
        if (!client->send(connect_line(members))) return Failure{"sending connect failed"};
        return client;
    }

    // The same, returning only once the (new) fake is running its script.
    Outcome<Client> start_tunnel(const nlohmann::json& members) {
        fake().forget("ready");
        auto client = send_connect(members);
        if (client && !fake().wait_for("ready")) return Failure{"the fake never started"};
        return client;
    }

    // A connection that has asked to watch the tunnel's state.
    static Outcome<Client> start_watch() {
        auto client = Client::connect();
        if (client && !client->send("{\"cmd\":\"watch\"}\n"))
            return Failure{"sending watch failed"};
        return client;
    }

    // One exchange's whole answer, or the harness's complaint.
    static std::string answer_to(const std::string& line) {
        auto reply = exchange(line);
        return reply ? reply->bytes : "harness: " + reply.error();
    }

    static std::string status() { return answer_to("{\"cmd\":\"status\"}\n"); }

    // Whether "status" comes to answer running (or not) within the time-out.
    static bool status_becomes(bool running, milliseconds timeout = kDefaultTimeout) {
        const Deadline deadline(timeout);
        for (;;) {
            if (status() == (running ? kRunning : kNotRunning)) return true;
            if (deadline.expired()) return false;
            std::this_thread::sleep_for(milliseconds(5));
        }
    }

private:
    std::optional<FakeTunnel> fake_;
};

}  // namespace marlox::support
