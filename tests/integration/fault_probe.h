// What the fault tests look at from outside the daemon: its descriptors, threads and children,
// and the one fault they inject by hand, a standard error that turns into a broken pipe.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "os/unique_fd.h"
#include "support/deadline.h"

namespace marlox::support {

inline std::string proc_path(pid_t pid, const std::string& rest) {
    return "/proc/" + std::to_string(pid) + "/" + rest;
}

inline std::size_t count_entries(const std::string& dir) {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return count;
}

// A /proc file's text, empty if it cannot be read. Not through std::ifstream: reading the file
// of a process that is just ending fails with ESRCH, which libstdc++'s filebuf throws.
inline std::string read_proc_file(const std::filesystem::path& path) {
    const os::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file.valid()) return text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got <= 0) return got < 0 ? std::string() : text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// The process's open descriptors and threads, as the kernel lists them.
struct Footprint {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    bool operator==(const Footprint&) const = default;
};

inline Footprint footprint(pid_t pid) {
    return {count_entries(proc_path(pid, "fd")), count_entries(proc_path(pid, "task"))};
}

// The footprint once it has stopped changing (threads finishing, a sanitizer's own thread
// starting with the first connection thread), sampled 100 ms apart; the last one if it never
// settles within timeout.
inline Footprint settled_footprint(pid_t pid, milliseconds timeout = kDefaultTimeout) {
    const Deadline deadline(timeout);
    Footprint last = footprint(pid);
    for (;;) {
        std::this_thread::sleep_for(milliseconds(100));
        const Footprint now = footprint(pid);
        if (now == last || deadline.expired()) return now;
        last = now;
    }
}

inline std::ostream& operator<<(std::ostream& out, const Footprint& f) {
    return out << f.descriptors << " descriptors, " << f.threads << " threads";
}

// The state letter of a process ('Z' for a zombie), from /proc/PID/stat; nullopt once gone.
inline std::optional<char> process_state(pid_t pid) {
    const std::string text = read_proc_file(proc_path(pid, "stat"));
    const std::size_t paren = text.rfind(')');
    if (paren == std::string::npos || paren + 2 >= text.size()) return std::nullopt;
    return text[paren + 2];
}

// Every process whose parent is pid, with its state letter.
inline std::vector<std::pair<pid_t, char>> children_of(pid_t pid) {
    std::vector<std::pair<pid_t, char>> children;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string text = read_proc_file(it->path() / "stat");
        const std::size_t paren = text.rfind(')');
        if (paren == std::string::npos) continue;
        std::istringstream fields(text.substr(paren + 2));
        char state = 0;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == pid) {
            children.emplace_back(static_cast<pid_t>(std::stol(name)), state);
        }
    }
    return children;
}

// Whether check() holds within timeout, polling every few milliseconds.
template <class Check>
bool eventually(Check check, milliseconds timeout = kDefaultTimeout) {
    const Deadline deadline(timeout);
    for (;;) {
        if (check()) return true;
        if (deadline.expired()) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

// Turns the daemon's standard error into a broken pipe while it runs: the test process holds
// the pipe's only read end (the harness collects the daemon's stderr through it), so replacing
// that descriptor with /dev/null leaves the daemon writing to a pipe nobody can read. dup2
// swaps it in one step, so the harness's reader sees end of file instead of a closed number.
// False if the read end was not found or some other process still holds one.
inline bool break_stderr_of(pid_t daemon) {
    std::error_code error;
    const auto pipe = std::filesystem::read_symlink(proc_path(daemon, "fd/2"), error);
    if (error || !pipe.string().starts_with("pipe:")) return false;
    const os::UniqueFd dev_null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!dev_null.valid()) return false;
    bool replaced = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const int fd = std::stoi(entry.path().filename().string());
        if (fd == dev_null.get() || std::filesystem::read_symlink(entry.path(), error) != pipe)
            continue;
        // O_RDONLY descriptors of this pipe are read ends (the write end went to the daemon).
        if ((::fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY) continue;
        // The swap happens behind the reader's back, which is the point: through the raw system
        // call, so that ThreadSanitizer's descriptor bookkeeping, which cannot see that the
        // reader's close follows the end of file this causes, does not call it a race.
        replaced = ::syscall(SYS_dup3, dev_null.get(), fd, O_CLOEXEC) == fd || replaced;
    }
    if (!replaced) return false;
    // Broken only if no other process (a forked child of this one, say) kept a copy.
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = process.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (std::stol(name) == daemon) continue;
        std::error_code unreadable;  // processes come and go while we look
        for (std::filesystem::directory_iterator it(process.path() / "fd", unreadable), end;
             !unreadable && it != end; it.increment(unreadable)) {
            std::error_code gone;
            if (std::filesystem::read_symlink(it->path(), gone) == pipe) return false;
        }
    }
    return true;
}

}  // namespace marlox::support
