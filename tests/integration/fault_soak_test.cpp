// Ten thousand connections of every kind: afterwards the daemon holds what it held when idle.
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/request_line.h"
#include "fault_probe.h"
#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

constexpr int kConnections = 10000;
constexpr int kWorkers = 4;

// One kind of connection: what the client does, and whether what it saw is right.
struct Kind {
    std::string_view name;
    int per_hundred;  // how many of every hundred connections are of this kind
    std::function<bool()> run;
};

bool answered(std::string_view request, std::string_view reply) {
    auto received = exchange(request);
    return received && received->bytes == reply && received->end == StreamEnd::kEof;
}

// Other workers' tunnels come and go: either answer is right.
bool status_answered() {
    auto received = exchange("{\"cmd\":\"status\"}\n");
    return received && (received->bytes == kNotRunning || received->bytes == kRunning) &&
           received->end == StreamEnd::kEof;
}

// A "connect" while other workers connect and disconnect: this one ran the tunnel (its output,
// or none if another worker's "disconnect" ended it first), or another tunnel was running.
bool connect_answered(const std::string& host, std::string_view output) {
    auto received = exchange(connect_line({{"host", host}}), milliseconds(10000));
    return received &&
           (received->bytes == output || received->bytes.empty() ||
            received->bytes == kAlreadyConnected) &&
           received->end == StreamEnd::kEof;
}

std::vector<Kind> kinds() {
    const std::string too_long(control::kMaxRequestLine + 1, 'a');
    return {
        {"status", 30, status_answered},
        {"disconnect", 10, [] { return answered("{\"cmd\":\"disconnect\"}\n", kOk); }},
        {"bad json", 10, [] { return answered("{\"cmd\":\n", "{\"error\":\"bad json\"}\n"); }},
        {"unknown cmd", 10,
         [] { return answered("{\"cmd\":\"Status\"}\n", "{\"error\":\"unknown cmd\"}\n"); }},
        {"not UTF-8", 5, [] { return answered("{\"cmd\":\"\xFF\"}\n", ""); }},
        {"too long", 2,
         [too_long] {
             auto received = exchange(too_long);
             // Bytes the daemon never read may turn its close into a reset.
             return received && (received->bytes == "{\"error\":\"request too long\"}\n" ||
                                 received->end == StreamEnd::kReset);
         }},
        {"closed at once", 10,
         [] {
             auto client = Client::connect();
             return static_cast<bool>(client);  // and closed right here
         }},
        {"nothing then end", 5,
         [] {
             auto client = Client::connect();
             return client && client->shut_write() &&
                    client->read_to_end().bytes == "{\"error\":\"bad json\"}\n";
         }},
        {"in pieces", 3,
         [] {
             auto client = Client::connect();
             return client &&
                    client->send_in_pieces("{\"cmd\":\"disconnect\"}\n", 3, milliseconds(0)) &&
                    client->read_to_end().bytes == kOk;
         }},
        {"invalid field", 3,
         [] {
             return answered(connect_line({{"host", "a\nb"}}),
                             "{\"error\":\"invalid field: host\"}\n");
         }},
        {"tunnel exits", 5, [] { return connect_answered("quick", "bye\n"); }},
        {"tunnel left", 2,
         [] {
             auto client = Client::connect();
             if (!client || !client->send(connect_line({{"host", "stays"}}))) return false;
             // Holding the tunnel (silence) or refused; either way the client then goes.
             const auto line = client->read_line(milliseconds(20));
             return !line || line == kAlreadyConnected;
         }},
        {"refused user", 1,
         [] {
             auto received = exchange_as(999, "{\"cmd\":\"status\"}\n");
             return received && received->bytes == "{\"error\":\"unauthorized\"}\n";
         }},
        {"status again", 4, status_answered},
    };
}

class SoakTest : public TunnelTest {};

TEST_F(SoakTest, TenThousandConnectionsOfEveryKindLeaveNoDescriptorThreadOrZombie) {
    fake().write_script("quick", "out bye\nexit 0\n");
    fake().write_script("stays", "sleep 20000\n");
    // Idle: after one connection has come and gone (a sanitizer may start a thread of its own
    // with the first one), no connection open.
    ASSERT_TRUE(status_answered());
    const Footprint idle = settled_footprint(daemon().pid());

    // Each hundred connections in a fixed, interleaved order of kinds.
    const std::vector<Kind> all = kinds();
    std::vector<const Kind*> hundred;
    for (int round = 0; hundred.size() < 100; ++round) {
        for (const Kind& kind : all) {
            if (round < kind.per_hundred) hundred.push_back(&kind);
        }
    }
    ASSERT_EQ(hundred.size(), 100u) << "the shares must add up to a hundred";

    std::mutex failures_mutex;
    std::vector<std::string> failures;
    std::atomic<int> next{0};
    std::vector<std::thread> workers;
    workers.reserve(kWorkers);
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            for (int i; (i = next.fetch_add(1)) < kConnections;) {
                const Kind& kind = *hundred[static_cast<std::size_t>(i % 100)];
                if (kind.run()) continue;
                const std::lock_guard lock(failures_mutex);
                failures.push_back(std::to_string(i) + ": " + std::string(kind.name));
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " wrong, the first: " << failures.front();

    // The last tunnel left by its client is ended by its watcher, then everything is idle.
    EXPECT_TRUE(status_becomes(false, milliseconds(10000)));
    EXPECT_TRUE(eventually([&] { return footprint(daemon().pid()) == idle; }, milliseconds(10000)))
        << footprint(daemon().pid()) << " against " << idle << " when idle";
    EXPECT_TRUE(children_of(daemon().pid()).empty());
    EXPECT_FALSE(std::filesystem::exists(kConfigPath));
    EXPECT_EQ(daemon().stderr_text().find("failed"), std::string::npos) << daemon().stderr_text();
    EXPECT_TRUE(daemon().running());
}

}  // namespace
}  // namespace marlox::support
