// The relay client: large receives, every line checked as it arrives.
#include "relay_load.h"

#include <chrono>
#include <vector>

#include "failed.h"
#include "os/io.h"
#include "os/socket.h"
#include "system.h"

namespace marlox::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReceiveBytes = std::size_t{256} * 1024;
// A silent relay fails the run after this long; the whole stream must arrive within kRunLimit.
constexpr std::chrono::milliseconds kSilenceLimit{5000};
constexpr std::chrono::seconds kRunLimit{60};

}  // namespace

RelayFigures run_relay_load(const std::string& socket_path, const std::string& request,
                            const RelayPlan& plan) {
    RelayFigures figures;
    LineChecker checker(plan);
    std::vector<char> buffer(kReceiveBytes);
    const auto begun = Clock::now();
    auto conn = os::connect_unix(socket_path);
    if (!conn) return failed<RelayFigures>("connect: " + os::describe(conn.error()));
    if (!set_receive_timeout(conn->get(), kSilenceLimit))
        return failed<RelayFigures>("SO_RCVTIMEO failed");
    if (auto sent = os::send_all(conn->get(), request); !sent) {
        return failed<RelayFigures>("send: " + os::describe(sent.error()));
    }
    std::uint64_t bytes = 0;
    for (;;) {
        const auto n = os::recv_some(conn->get(), buffer);
        if (!n)
            return failed<RelayFigures>("receive after " + std::to_string(bytes) +
                                        " bytes: " + os::describe(n.error()));
        if (*n == 0) break;
        bytes += *n;
        checker.feed({buffer.data(), *n});
        if (Clock::now() - begun > kRunLimit)
            return failed<RelayFigures>("the stream did not end in time");
    }
    const std::chrono::duration<double> elapsed = Clock::now() - begun;
    figures.seconds = elapsed.count();
    figures.lines_per_second = static_cast<double>(checker.lines_seen()) / figures.seconds;
    figures.megabytes_per_second = static_cast<double>(bytes) / 1e6 / figures.seconds;
    figures.fault = checker.finish();
    return figures;
}

}  // namespace marlox::bench
