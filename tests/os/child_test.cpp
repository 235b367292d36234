// Tests of Child with real programs: output pipes, signals, reaping, and what the program inherits.
#include "os/child.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../support/unit_io.h"

namespace marlox::os {
namespace {

using namespace std::chrono_literals;

Result<Child> spawn(std::vector<std::string> argv) { return Child::spawn(argv); }

using ExitInfo = std::pair<int, int>;

// How an exited child ended (si_code, si_status), leaving it unreaped; {0, 0} while it runs,
// {-1, ECHILD} once it has been reaped.
ExitInfo exit_info(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG) < 0) {
        return {-1, errno};
    }
    return {info.si_code, info.si_status};
}

bool is_reaped(pid_t pid) { return exit_info(pid) == ExitInfo(-1, ECHILD); }

TEST(ChildTest, ReadyChildEndsOnSigtermAndIsReaped) {
    auto child = spawn({"sh", "-c", "echo ready; exec sleep 60"});
    ASSERT_TRUE(child) << describe(child.error());
    const UniqueFd out = child->take_stdout();
    ASSERT_EQ(test::read_bounded(out.get(), "\n"), "ready\n");

    ASSERT_TRUE(child->send_signal(SIGTERM));
    ASSERT_TRUE(test::readable_within(child->pidfd(), test::kTimeout));
    ASSERT_TRUE(child->wait_exited());
    EXPECT_EQ(exit_info(child->pid()), ExitInfo(CLD_KILLED, SIGTERM));
    EXPECT_FALSE(is_reaped(child->pid()));  // dead but its pid still held
    EXPECT_EQ(test::read_bounded(out.get()), "");
    child->reap();
    EXPECT_TRUE(is_reaped(child->pid()));
}

TEST(ChildTest, IgnoredSigtermNeedsSigkill) {
    auto child = spawn({"sh", "-c", "trap '' TERM; echo ready; exec sleep 60"});
    ASSERT_TRUE(child);
    const UniqueFd out = child->take_stdout();
    ASSERT_EQ(test::read_bounded(out.get(), "\n"), "ready\n");
    ASSERT_TRUE(child->send_signal(SIGTERM));
    EXPECT_FALSE(test::readable_within(child->pidfd(), 300ms));
    ASSERT_TRUE(child->send_signal(SIGKILL));
    ASSERT_TRUE(test::readable_within(child->pidfd(), test::kTimeout));
    ASSERT_TRUE(child->wait_exited());
    EXPECT_EQ(exit_info(child->pid()), ExitInfo(CLD_KILLED, SIGKILL));
    child->reap();
}

TEST(ChildTest, StandardOutputAndErrorArrivePipedApart) {
    auto child = spawn({"sh", "-c", "echo out; echo err >&2; exit 3"});
    ASSERT_TRUE(child);
    const UniqueFd out = child->take_stdout();
    const UniqueFd err = child->take_stderr();
    EXPECT_EQ(test::read_bounded(out.get()), "out\n");
    EXPECT_EQ(test::read_bounded(err.get()), "err\n");
    ASSERT_TRUE(test::readable_within(child->pidfd(), test::kTimeout));
    ASSERT_TRUE(child->wait_exited());
    EXPECT_EQ(exit_info(child->pid()), ExitInfo(CLD_EXITED, 3));
    child->reap();
}

TEST(ChildTest, FailedStartsReturnTheErrorAndLeakNothing) {
    const std::set<int> before = test::open_fds();
    for (const auto& argv : std::vector<std::vector<std::string>>{
             {"marlox-no-such-program"}, {"/nonexistent/program", "arg"}}) {
        const auto child = spawn(argv);
        ASSERT_FALSE(child);
        EXPECT_EQ(child.error().code, ENOENT) << argv[0];
    }
    const auto empty = spawn({});
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().code, EINVAL);
    EXPECT_EQ(test::open_fds(), before);
}

TEST(ChildTest, OnlyInheritableDescriptorsReachTheProgram) {
    const std::set<int> before = test::open_fds();
    const UniqueFd ours(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(ours.valid());
    // What the program may see: 0 to 2 (now its pipes) and whatever this test process itself
    // inherited without close-on-exec from whoever started it.
    std::set<int> expected = test::open_fds(/*inheritable_only=*/true);
    expected.insert({0, 1, 2});
    {
        auto child = spawn({"sh", "-c", "ls /proc/$$/fd"});
        ASSERT_TRUE(child);
        const UniqueFd out = child->take_stdout();
        const auto listing = test::read_bounded(out.get());
        ASSERT_TRUE(listing);
        std::set<int> seen;
        std::istringstream lines(*listing);
        for (int fd; lines >> fd;) seen.insert(fd);
        EXPECT_EQ(seen, expected);
        EXPECT_FALSE(seen.contains(ours.get()));
        EXPECT_FALSE(seen.contains(child->pidfd()));
    }
    // The child's pidfd and the read ends are gone with it: only our own descriptor is left.
    std::set<int> after = test::open_fds();
    after.erase(ours.get());
    EXPECT_EQ(after, before);
}

TEST(ChildTest, ProgramStartsWithDefaultSignalState) {
    // Ignore SIGPIPE (as the daemon does) and block SIGUSR2 here; neither may reach the program.
    struct sigaction ignore {};
    struct sigaction old_action {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old_action), 0);
    sigset_t usr2;
    sigset_t old_mask;
    (void)sigemptyset(&usr2);
    (void)sigaddset(&usr2, SIGUSR2);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr2, &old_mask), 0);
    auto child = spawn({"grep", "-E", "^Sig(Ign|Blk):", "/proc/self/status"});
    (void)::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    (void)::sigaction(SIGPIPE, &old_action, nullptr);
    ASSERT_TRUE(child);

    const UniqueFd out = child->take_stdout();
    const auto status = test::read_bounded(out.get());
    ASSERT_TRUE(status);
    unsigned long long blocked = ~0ull;
    unsigned long long ignored = ~0ull;
    std::istringstream lines(*status);
    for (std::string key; lines >> key;) {
        if (key == "SigBlk:") lines >> std::hex >> blocked;
        if (key == "SigIgn:") lines >> std::hex >> ignored;
    }
    EXPECT_EQ(blocked, 0u);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << std::hex << ignored;
}

TEST(ChildTest, DestroyingAnUnreapedChildKillsAndReapsIt) {
    pid_t running = 0;
    pid_t exited = 0;
    const auto started = std::chrono::steady_clock::now();
    {
        std::optional<Child> owner;
        {
            auto child = spawn({"sleep", "20"});
            ASSERT_TRUE(child);
            owner.emplace(std::move(*child));
        }  // the moved-from Child is gone and must have left the program alone
        EXPECT_FALSE(test::readable_within(owner->pidfd(), 50ms));
        running = owner->pid();

        auto quick = spawn({"true"});
        ASSERT_TRUE(quick);
        ASSERT_TRUE(test::readable_within(quick->pidfd(), test::kTimeout));
        ASSERT_TRUE(quick->wait_exited());
        exited = quick->pid();
        EXPECT_FALSE(is_reaped(exited));
    }
    // Killed, not waited for until it ends by itself.
    EXPECT_LT(std::chrono::steady_clock::now() - started, test::kTimeout);
    EXPECT_TRUE(is_reaped(running));
    EXPECT_TRUE(is_reaped(exited));
}

}  // namespace
}  // namespace marlox::os
