// Unit-test helpers: reads bounded by a time-out, descriptor counts, connections from another uid.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "os/unique_fd.h"

namespace marlox::test {

using namespace std::chrono_literals;
inline constexpr std::chrono::milliseconds kTimeout = 5s;

// True when fd becomes readable (data, end of file or an error) within timeout.
inline bool readable_within(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

// Reads until end of file, or until what was read contains stop_at. nullopt when the time-out
// passes first or a read fails, so a test fails instead of hanging.
inline std::optional<std::string> read_bounded(int fd, std::string_view stop_at = {},
                                               std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string out;
    for (;;) {
        if (!stop_at.empty() && out.find(stop_at) != std::string::npos) return out;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable_within(fd, left)) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return out;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

// The numbers of this process's open descriptors; only those without close-on-exec, the ones
// a started program would inherit, if inheritable_only.
inline std::set<int> open_fds(bool inheritable_only = false) {
    std::vector<int> listed;
    {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
            listed.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    std::set<int> fds;
    for (const int fd : listed) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags < 0) continue;  // the directory's own descriptor, closed by now
        if (!inheritable_only || (flags & FD_CLOEXEC) == 0) fds.insert(fd);
    }
    return fds;
}

// A fresh directory under /tmp, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/marlox-unit-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }  // empty if it could not be made

private:
    std::string path_;
};

struct SocketPair {
    os::UniqueFd a;
    os::UniqueFd b;
};
inline SocketPair socket_pair() {
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0) return {};
    return {os::UniqueFd(fds[0]), os::UniqueFd(fds[1])};
}

// Waits for a forked child, killing it if it outlives the time-out. True if it exited with 0.
inline bool wait_child(pid_t pid, std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            (void)::kill(pid, SIGKILL);
            (void)::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A connection whose client end was connected by a process running as uid/gid, so the server
// end reports that uid as its peer. The forked child only connects and exits; this process
// keeps both ends. Both invalid on failure.
struct Connection {
    os::UniqueFd server;
    os::UniqueFd client;
};
inline Connection connect_as(uid_t uid, gid_t gid) {
    os::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    os::UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // Binding just the family picks a free abstract name: no file, no permission check.
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(sa_family_t)) < 0 ||
        ::listen(listener.get(), 1) < 0) {
        return {};
    }
    socklen_t length = sizeof addr;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &length) < 0) return {};

    const pid_t pid = ::fork();
    if (pid < 0) return {};
    if (pid == 0) {
        // Only async-signal-safe calls here: the test process may have other threads.
        const bool ok = ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0 &&
                        ::connect(client.get(), reinterpret_cast<sockaddr*>(&addr), length) == 0;
        ::_exit(ok ? 0 : 1);
    }
    if (!wait_child(pid) || !readable_within(listener.get(), kTimeout)) return {};
    os::UniqueFd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    return {std::move(server), std::move(client)};
}

}  // namespace marlox::test
