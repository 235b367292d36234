// Affinity, descriptor limits, receive time-outs, PATH and /proc readings for the benchmark.
#include "system.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <sstream>
#include <string_view>
#include <thread>

#include "os/io.h"
#include "os/unique_fd.h"

namespace marlox::bench {
namespace {

std::optional<std::string> read_small_file(const std::string& path) {
    const os::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return std::nullopt;
    std::string text;
    std::array<char, 4096> buffer;
    for (int reads = 0; reads < 64; ++reads) {  // /proc files here are a few KiB at most
        const auto n = os::read_some(fd.get(), buffer);
        if (!n) return std::nullopt;
        if (*n == 0) return text;
        text.append(buffer.data(), *n);
    }
    return text;
}

// The number after "key:" in text (a /proc status file), or nullopt.
std::optional<std::size_t> field(std::string_view text, std::string_view key) {
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    return std::strtoull(text.data() + at + key.size(), nullptr, 10);
}

}  // namespace

os::Result<void> pin_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (::sched_setaffinity(0, sizeof set, &set) < 0) return os::last_errno();
    return {};
}

os::Result<void> raise_descriptor_limit(std::size_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) < 0) return os::last_errno();
    if (limit.rlim_cur >= wanted) return {};
    limit.rlim_cur = wanted;
    limit.rlim_max = std::max<rlim_t>(limit.rlim_max, wanted);
    if (::setrlimit(RLIMIT_NOFILE, &limit) < 0) return os::last_errno();
    return {};
}

namespace {

os::Result<void> set_timeout(int fd, int option, std::chrono::milliseconds timeout) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    timeval tv{static_cast<time_t>(us / 1'000'000), static_cast<suseconds_t>(us % 1'000'000)};
    if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) < 0) return os::last_errno();
    return {};
}

}  // namespace

os::Result<void> set_receive_timeout(int fd, std::chrono::milliseconds timeout) {
    return set_timeout(fd, SO_RCVTIMEO, timeout);
}

os::Result<void> set_send_timeout(int fd, std::chrono::milliseconds timeout) {
    return set_timeout(fd, SO_SNDTIMEO, timeout);
}

void prepend_to_path(const std::string& dir) {
    const char* old = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): no threads yet
    const std::string path = dir + ":" + (old != nullptr ? old : "/usr/bin:/bin");
    (void)::setenv("PATH", path.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
}

std::optional<ProcessUsage> process_usage(pid_t pid) {
    const auto text = read_small_file("/proc/" + std::to_string(pid) + "/status");
    if (!text) return std::nullopt;
    const auto rss = field(*text, "\nVmRSS:");
    const auto threads = field(*text, "\nThreads:");
    if (!rss || !threads) return std::nullopt;
    return ProcessUsage{*rss, *threads};
}

std::optional<double> cpu_seconds(pid_t pid) {
    const auto text = read_small_file("/proc/" + std::to_string(pid) + "/stat");
    if (!text) return std::nullopt;
    // The name in parentheses may hold spaces. After it: the state, ten numbers (some may be
    // -1), then utime and stime, fields 14 and 15 of the file.
    const std::size_t name_end = text->rfind(')');
    if (name_end == std::string::npos) return std::nullopt;
    std::istringstream fields(text->substr(name_end + 1));
    std::string state;
    long long skipped = 0;
    long long user = 0;
    long long system = 0;
    fields >> state;
    for (int i = 0; i < 10; ++i) fields >> skipped;
    fields >> user >> system;
    if (!fields) return std::nullopt;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<ProcessUsage> wait_for_usage(pid_t pid,
                                           const std::function<bool(const ProcessUsage&)>& done,
                                           std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto usage = process_usage(pid);
        if (!usage || done(*usage) || std::chrono::steady_clock::now() >= deadline) return usage;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string machine_description() {
    std::string model = "unknown CPU";
    if (const auto cpuinfo = read_small_file("/proc/cpuinfo")) {
        const std::size_t at = cpuinfo->find("model name");
        const std::size_t colon = cpuinfo->find(": ", at);
        if (at != std::string::npos && colon != std::string::npos) {
            model = cpuinfo->substr(colon + 2, cpuinfo->find('\n', colon) - colon - 2);
        }
    }
    utsname names{};
    const std::string kernel = ::uname(&names) == 0 ? names.release : "unknown kernel";
    return model + ", " + std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs, Linux " +
           kernel;
}

}  // namespace marlox::bench
