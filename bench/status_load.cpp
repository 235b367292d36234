// Status clients on threads of their own, with per-request latencies.
#include "status_load.h"

#include <array>
#include <latch>
#include <optional>
#include <vector>

#include "os/io.h"
#include "os/socket.h"
#include "os/thread.h"
#include "stats.h"
#include "system.h"

namespace marlox::bench {
namespace {

using Clock = std::chrono::steady_clock;

// A client never makes more requests than this in one run, so its sample store stays bounded.
constexpr std::size_t kMaxRequestsPerClient = 2'000'000;
constexpr std::chrono::milliseconds kReplyTimeout{5000};

struct ClientResult {
    std::vector<std::uint32_t> latencies_ns;
    Clock::time_point finished;
    std::string fault;
};

}  // namespace

std::optional<std::string> exchange_once(const std::string& socket_path, std::string_view request,
                                         std::string& reply) {
    auto conn = os::connect_unix(socket_path);
    if (!conn) return "connect: " + os::describe(conn.error());
    if (!set_receive_timeout(conn->get(), kReplyTimeout)) return "SO_RCVTIMEO failed";
    if (auto sent = os::send_all(conn->get(), request); !sent) {
        return "send: " + os::describe(sent.error());
    }
    reply.clear();
    std::array<char, 256> buffer;
    for (;;) {
        const auto n = os::recv_some(conn->get(), buffer);
        if (!n) return "receive: " + os::describe(n.error());
        if (*n == 0) return std::nullopt;
        if (reply.size() + *n > 4096) return "a reply longer than 4 KiB";
        reply.append(buffer.data(), *n);
    }
}

namespace {

void run_client(const StatusLoadPlan& plan, std::latch& start, const Clock::time_point& end,
                ClientResult& result) noexcept {
    result.latencies_ns.reserve(1 << 16);
    std::string reply;
    reply.reserve(4096);
    start.arrive_and_wait();
    while (result.latencies_ns.size() < kMaxRequestsPerClient) {
        const auto begun = Clock::now();
        if (begun >= end) break;
        if (auto fault = exchange_once(plan.socket_path, plan.request, reply)) {
            result.fault = *fault;
            break;
        }
        if (reply != plan.expected_reply) {
            result.fault = "unexpected reply \"" + reply + "\"";
            break;
        }
        const auto took =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begun);
        result.latencies_ns.push_back(
            static_cast<std::uint32_t>(std::min<std::int64_t>(took.count(), UINT32_MAX)));
    }
    result.finished = Clock::now();
}

}  // namespace

StatusFigures run_status_load(const StatusLoadPlan& plan) {
    StatusFigures figures;
    std::vector<ClientResult> results(plan.clients);
    // Every client waits on the latch until all exist, so thread creation is not measured; the
    // latch also publishes `end`, set just before this thread arrives.
    std::latch start(static_cast<std::ptrdiff_t>(plan.clients) + 1);
    Clock::time_point end;
    std::vector<os::JoinableThread> clients;
    clients.reserve(plan.clients);
    for (std::size_t i = 0; i < plan.clients; ++i) {
        auto started =
            os::JoinableThread::start([&plan, &start, &end, &result = results[i]]() noexcept {
                run_client(plan, start, end, result);
            });
        if (!started) {
            figures.fault = "starting a client thread: " + os::describe(started.error());
            break;
        }
        clients.push_back(std::move(*started));
    }
    const Clock::time_point begun = Clock::now();
    // After a failed start the clients that exist are let go with no time to run.
    end = figures.fault.empty() ? begun + plan.duration : begun;
    start.count_down(static_cast<std::ptrdiff_t>(plan.clients - clients.size()) + 1);
    for (auto& client : clients) client.join();

    std::vector<std::uint32_t> all;
    Clock::time_point last = begun;
    for (const auto& result : results) {
        all.insert(all.end(), result.latencies_ns.begin(), result.latencies_ns.end());
        last = std::max(last, result.finished);
        if (figures.fault.empty() && !result.fault.empty()) figures.fault = result.fault;
    }
    const std::chrono::duration<double> elapsed = last - begun;
    figures.requests = all.size();
    figures.per_second =
        elapsed.count() > 0 ? static_cast<double>(all.size()) / elapsed.count() : 0;
    figures.p50_us = percentile(all, 0.50) / 1000.0;
    figures.p99_us = percentile(all, 0.99) / 1000.0;
    return figures;
}

}  // namespace marlox::bench
