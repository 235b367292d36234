// Watchers held by one thread, read through one poll over all of them.
#include "watch_bench.h"

#include <poll.h>

#include <array>
#include <chrono>
#include <string_view>

#include "failed.h"
#include "os/io.h"
#include "os/socket.h"
#include "stats.h"
#include "system.h"

namespace marlox::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kWatchRequest = "{\"cmd\":\"watch\"}\n";
constexpr std::string_view kIdle = "{\"state\":\"idle\"}\n";
constexpr std::string_view kStarting = "{\"state\":\"starting\",\"uid\":0}\n";
// A NUL in the realm: the daemon reserves the tunnel, writes its file, refuses the start and
// goes back to idle, without a process. Two changes, neither of which costs a program start.
constexpr std::string_view kFailingConnect =
    "{\"cmd\":\"connect\",\"host\":\"bench\",\"realm\":\"\\u0000\"}\n";
constexpr std::string_view kFailedIdle =
    "{\"state\":\"idle\",\"error\":\"spawn: nul byte found in provided data\"}\n";
constexpr std::chrono::milliseconds kTimeout{10000};

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Reads every watcher until each has received exactly `expected` (more is a fault), noting
// when each got its first `first_part` bytes. The reads are as fast as one thread can poll.
std::string read_all(Watchers& watchers, std::string_view expected, std::size_t first_part,
                     std::vector<Clock::time_point>& got_first_part) {
    const std::size_t count = watchers.connections.size();
    std::vector<std::string> received(count);
    std::vector<pollfd> fds(count);
    for (std::size_t i = 0; i < count; ++i) fds[i] = {watchers.connections[i].get(), POLLIN, 0};
    got_first_part.assign(count, Clock::time_point{});
    std::size_t complete = 0;
    std::array<char, 4096> buffer;
    const auto deadline = Clock::now() + kTimeout;
    while (complete < count) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return "a watcher did not get its lines in time";
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) continue;
        for (std::size_t i = 0; i < count; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const auto n = os::recv_some(fds[i].fd, buffer);
            if (!n || *n == 0) return "a watcher's stream ended";
            received[i].append(buffer.data(), *n);
            if (received[i].size() >= first_part && got_first_part[i] == Clock::time_point{}) {
                got_first_part[i] = Clock::now();
            }
            if (received[i].size() > expected.size() || !expected.starts_with(received[i])) {
                return "a watcher got \"" + received[i] + "\"";
            }
            if (received[i].size() == expected.size()) {
                fds[i].fd = -1;  // poll skips it
                ++complete;
            }
        }
    }
    return {};
}

}  // namespace

Watchers attach_watchers(const std::string& socket_path, std::size_t count) {
    Watchers watchers;
    watchers.connections.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        auto conn = os::connect_unix(socket_path);
        if (!conn)
            return failed<Watchers>("watcher " + std::to_string(i) + ": " +
                                    os::describe(conn.error()));
        if (!os::send_all(conn->get(), kWatchRequest)) return failed<Watchers>("sending watch");
        watchers.connections.push_back(std::move(*conn));
    }
    std::vector<Clock::time_point> ignored;
    watchers.fault = read_all(watchers, kIdle, kIdle.size(), ignored);
    return watchers;
}

SpreadFigures measure_change_spread(const std::string& socket_path, Watchers& watchers,
                                    std::size_t changes) {
    SpreadFigures figures;
    const std::string expected = std::string(kStarting) + std::string(kFailedIdle);
    std::vector<double> last_ms;
    std::vector<double> first_ms;
    std::vector<Clock::time_point> arrived;
    for (std::size_t round = 0; round < changes; ++round) {
        const auto begun = Clock::now();
        auto conn = os::connect_unix(socket_path);
        if (!conn) return failed<SpreadFigures>("connect: " + os::describe(conn.error()));
        if (!set_receive_timeout(conn->get(), kTimeout) ||
            !os::send_all(conn->get(), kFailingConnect)) {
            return failed<SpreadFigures>("sending the connect failed");
        }
        // The watchers first: the connect's own reply is no part of what is timed.
        if (const std::string fault = read_all(watchers, expected, kStarting.size(), arrived);
            !fault.empty()) {
            return failed<SpreadFigures>(fault);
        }
        std::array<char, 256> reply;
        for (;;) {
            const auto n = os::recv_some(conn->get(), reply);
            if (!n) return failed<SpreadFigures>("no end to the connect's reply");
            if (*n == 0) break;
        }
        Clock::time_point first = arrived.front();
        Clock::time_point last = arrived.front();
        for (const auto when : arrived) {
            first = std::min(first, when);
            last = std::max(last, when);
        }
        first_ms.push_back(ms_between(begun, first));
        last_ms.push_back(ms_between(begun, last));
    }
    figures.changes = changes;
    figures.p50_ms = median(last_ms);
    figures.worst_ms = percentile(last_ms, 1.0);
    figures.first_p50_ms = median(first_ms);
    return figures;
}

}  // namespace marlox::bench
