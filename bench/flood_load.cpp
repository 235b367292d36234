// The flood client: the request, its tunnel's first line, then bulk sends, timed and weighed.
#include "flood_load.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "failed.h"
#include "os/io.h"
#include "os/socket.h"
#include "relay_lines.h"
#include "system.h"

namespace marlox::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kSendBytes = std::size_t{64} * 1024;
// A daemon that stops reading, or a tunnel that never says it runs, fails the run after this.
constexpr std::chrono::milliseconds kStallLimit{5000};

}  // namespace

FloodFigures run_flood(pid_t daemon_pid, const std::string& socket_path, const std::string& request,
                       std::uint64_t bytes) {
    auto conn = os::connect_unix(socket_path);
    if (!conn) return failed<FloodFigures>("connect: " + os::describe(conn.error()));
    if (!set_receive_timeout(conn->get(), kStallLimit) ||
        !set_send_timeout(conn->get(), kStallLimit)) {
        return failed<FloodFigures>("SO_RCVTIMEO or SO_SNDTIMEO failed");
    }
    if (auto sent = os::send_all(conn->get(), request); !sent) {
        return failed<FloodFigures>("send: " + os::describe(sent.error()));
    }
    // The tunnel runs, and its watcher reads, once its one line has come.
    std::vector<char> buffer(kSendBytes, 'x');
    std::string head;
    while (head.find('\n') == std::string::npos) {
        const auto n = os::recv_some(conn->get(), buffer);
        if (!n || *n == 0) return failed<FloodFigures>("no tunnel: \"" + head + "\"");
        head.append(buffer.data(), *n);
    }
    if (head != kWaitingLine) return failed<FloodFigures>("unexpected output: \"" + head + "\"");
    std::fill(buffer.begin(), buffer.end(), 'x');

    const auto cpu_before = cpu_seconds(daemon_pid);
    const auto begun = Clock::now();
    for (std::uint64_t left = bytes; left > 0;) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, kSendBytes));
        if (auto sent = os::send_all(conn->get(), {buffer.data(), piece}); !sent) {
            return failed<FloodFigures>("send after " + std::to_string(bytes - left) +
                                        " bytes: " + os::describe(sent.error()));
        }
        left -= piece;
    }
    if (!os::shutdown_sending(conn->get())) return failed<FloodFigures>("shutdown failed");
    for (;;) {
        const auto n = os::recv_some(conn->get(), buffer);
        if (!n) return failed<FloodFigures>("no end of stream: " + os::describe(n.error()));
        if (*n == 0) break;
    }
    const std::chrono::duration<double> elapsed = Clock::now() - begun;
    const auto cpu_after = cpu_seconds(daemon_pid);
    if (!cpu_before || !cpu_after) return failed<FloodFigures>("cannot read the daemon's CPU time");

    FloodFigures figures;
    figures.daemon_cpu_seconds = *cpu_after - *cpu_before;
    figures.seconds = elapsed.count();
    figures.megabytes_per_second = static_cast<double>(bytes) / 1e6 / figures.seconds;
    return figures;
}

}  // namespace marlox::bench
