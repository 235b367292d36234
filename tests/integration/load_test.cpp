// The real daemon under load and shortage: many clients, no thread, no descriptor.
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "support/client.h"
#include "support/daemon.h"
#include "support/integration_test.h"

namespace marlox::support {
namespace {

constexpr std::string_view kStatus = "{\"cmd\":\"status\"}\n";
constexpr std::string_view kNotRunning = "{\"running\":false}\n";

class LoadTest : public DaemonTest {};

TEST_F(LoadTest, TwoHundredClientsAtOnceAreAllAnsweredWhileOneIdles) {
    auto idle = Client::connect();
    ASSERT_TRUE(idle) << idle.error();

    constexpr int kClients = 200;
    std::vector<Client> clients;
    for (int i = 0; i < kClients; ++i) {
        auto client = Client::connect();
        ASSERT_TRUE(client) << "client " << i << ": " << client.error();
        clients.push_back(std::move(*client));
    }
    for (Client& client : clients) ASSERT_TRUE(client.send(kStatus));
    int answered = 0;
    for (Client& client : clients) answered += client.read_to_end().bytes == kNotRunning;
    EXPECT_EQ(answered, kClients);

    // The idle client kept its own thread and connection all along, and is still served.
    EXPECT_EQ(idle->read_line(milliseconds(50)), std::nullopt);
    EXPECT_EQ(idle->end(), StreamEnd::kOpen);
    ASSERT_TRUE(idle->send(kStatus));
    EXPECT_EQ(idle->read_to_end().bytes, kNotRunning);
}

// A daemon whose limits a test changes while it runs (prlimit on its pid).
struct Limit {
    pid_t pid;
    int resource;

    // Changes the soft limit only; the hard limit stays as it was.
    bool set(rlim_t soft) const {
        const auto which = static_cast<__rlimit_resource>(resource);
        rlimit value{};
        if (::prlimit(pid, which, nullptr, &value) < 0) return false;
        value.rlim_cur = soft;
        return ::prlimit(pid, which, &value, nullptr) == 0;
    }
};

// The daemon's address-space size now, from /proc/PID/status ("VmSize:  1234 kB").
std::optional<rlim_t> address_space_bytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (!line.starts_with("VmSize:")) continue;
        std::istringstream fields(line.substr(7));
        rlim_t kib = 0;
        if (fields >> kib) return kib * 1024;
    }
    return std::nullopt;
}

TEST_F(LoadTest, ThreadThatCannotStartCostsOneConnectionNotTheDaemon) {
    // Running as root, the daemon is not bound by RLIMIT_NPROC; an address-space limit just
    // above its current size leaves no room for a new thread's 2 MiB stack instead. Set while
    // it has run no connection thread yet, so no cached stack can be reused.
    const auto size = address_space_bytes(daemon().pid());
    ASSERT_TRUE(size);
    const Limit address_space{daemon().pid(), RLIMIT_AS};
    ASSERT_TRUE(address_space.set(*size + rlim_t{512} * 1024));

    // Closed without a word (the request may not even get out before the close).
    auto refused = exchange(kStatus);
    ASSERT_TRUE(refused) << refused.error();
    EXPECT_EQ(refused->bytes, "");
    EXPECT_NE(refused->end, StreamEnd::kOpen);
    EXPECT_TRUE(daemon().wait_for_stderr("[marlox-helper] failed to spawn thread: "))
        << daemon().stderr_text();
    const std::regex logged(
        R"(\[marlox-helper\] failed to spawn thread: [^\n]+ \(os error \d+\)\n)");
    EXPECT_TRUE(std::regex_search(daemon().stderr_text(), logged)) << daemon().stderr_text();

    ASSERT_TRUE(address_space.set(RLIM_INFINITY));
    EXPECT_TRUE(daemon().running());
    auto served = exchange(kStatus);
    ASSERT_TRUE(served) << served.error();
    EXPECT_EQ(served->bytes, kNotRunning);
}

// CPU time the process has used, user and system, in clock ticks (/proc/PID/stat fields 14, 15).
long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // The command name (field 2) may hold spaces; the fields after it are plain numbers.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) utime = std::stol(field);
        if (index == 15) stime = std::stol(field);
    }
    return utime + stime;
}

std::size_t open_descriptors(pid_t pid) {
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

// Whether the daemon comes to hold exactly count descriptors within the time-out.
bool holds_descriptors(pid_t pid, std::size_t count) {
    const Deadline deadline(kDefaultTimeout);
    while (open_descriptors(pid) != count) {
        if (deadline.expired()) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// The lowest descriptor number the daemon does not show. While its accept4 waits, that is the
// number the kernel has already taken for the next connection: accept4 claims it before it
// blocks.
int lowest_unused_descriptor(pid_t pid) {
    std::set<int> used;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        used.insert(std::stoi(entry.path().filename().string()));
    }
    int lowest = 0;
    while (used.contains(lowest)) ++lowest;
    return lowest;
}

class DescriptorShortageTest : public DaemonTest {};

TEST_F(DescriptorShortageTest, AcceptLoopIdlesWhileDescriptorsAreExhaustedAndRecovers) {
    // stdin, stdout, stderr, the listener and the readiness socket; then each idle client holds
    // its connection and the duplicate its thread reads through. One at a time, each settled
    // before the next.
    constexpr std::size_t kAtStart = 5;
    ASSERT_TRUE(holds_descriptors(daemon().pid(), kAtStart));
    std::vector<Client> idle;
    for (std::size_t i = 1; i <= 6; ++i) {
        auto client = Client::connect();
        ASSERT_TRUE(client) << client.error();
        idle.push_back(std::move(*client));
        ASSERT_TRUE(holds_descriptors(daemon().pid(), kAtStart + 2 * i)) << "idle client " << i;
    }

    // Below the limit every number is now in use but the one the waiting accept4 holds. The
    // next connection takes that one; its thread's duplicate then fails and the connection is
    // closed, freeing a number the limit no longer allows: from then on accept4 can only fail.
    const Limit open_files{daemon().pid(), RLIMIT_NOFILE};
    const auto limit = static_cast<rlim_t>(lowest_unused_descriptor(daemon().pid()));
    ASSERT_TRUE(open_files.set(limit));
    auto dropped = Client::connect();
    ASSERT_TRUE(dropped) << dropped.error();
    EXPECT_EQ(dropped->read_to_end().bytes, "");
    auto waiting = Client::connect();  // stays queued, its request already sent
    ASSERT_TRUE(waiting) << waiting.error();
    ASSERT_TRUE(waiting->send(kStatus));

    // accept4 now fails with EMFILE every time; a loop that retried at once would burn a
    // whole CPU here (less on a busy machine, hence the low bar of a tenth).
    const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
    const long before = cpu_ticks(daemon().pid());
    std::this_thread::sleep_for(milliseconds(1000));
    const long used = cpu_ticks(daemon().pid()) - before;
    EXPECT_LT(used, ticks_per_second / 10)
        << "CPU ticks in one second at " << ticks_per_second << " ticks per second";
    EXPECT_EQ(waiting->read_line(milliseconds(10)), std::nullopt) << "served without room?";

    // Room first, then the idle threads end: at the limit they would race for the few numbers
    // they give back, and a sanitizer build's first vptr check (on the parse error of their empty
    // request) probes memory through a pipe; finding no number for it, it reports an invalid vptr
    // and stops the daemon.
    ASSERT_TRUE(open_files.set(limit + 64));
    idle.clear();
    EXPECT_EQ(waiting->read_to_end().bytes, kNotRunning);
    EXPECT_TRUE(daemon().running());
}

}  // namespace
}  // namespace marlox::support
