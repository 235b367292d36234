// Standard descriptors, inherited descriptors and signals, and kill.
#include "os/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string_view>

extern char** environ;

namespace marlox::os {

void ensure_standard_descriptors(ClosedStream closed) noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int mode = O_RDWR;
        if (closed == ClosedStream::kFailing) mode = fd == 0 ? O_WRONLY : O_RDONLY;
        // open returns the lowest free number, which is fd itself since lower ones are open.
        // Deliberately without O_CLOEXEC: this is a standard stream, inherited like the others.
        const int opened = ::open("/dev/null", mode);  // NOLINT(android-cloexec-open)
        if (opened != fd) std::abort();
    }
}

Result<void> mark_inherited_cloexec() {
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return {};
    // ENOSYS before 5.9, EINVAL for the flag before 5.11.
    if (errno != ENOSYS && errno != EINVAL) return last_errno();
    return mark_listed_cloexec();
}

Result<void> mark_listed_cloexec() {
    DIR* dir = ::opendir("/proc/self/fd");  // close-on-exec, like every descriptor glibc opens
    if (dir == nullptr) return last_errno();
    // Runs before any thread exists, so readdir's shared buffer is safe.
    while (const dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
        const std::string_view name = entry->d_name;
        int fd = -1;  // stays so for "." and ".."
        (void)std::from_chars(name.data(), name.data() + name.size(), fd);
        const int flags = fd > 2 ? ::fcntl(fd, F_GETFD) : -1;
        if (flags >= 0) (void)::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
    ::closedir(dir);
    return {};
}

namespace {

Result<void> set_disposition(int sig, sighandler_t handler) {
    struct sigaction action {};
    action.sa_handler = handler;
    if (::sigemptyset(&action.sa_mask) < 0) return last_errno();
    if (::sigaction(sig, &action, nullptr) < 0) return last_errno();
    return {};
}

}  // namespace

Result<void> default_sigchld() { return set_disposition(SIGCHLD, SIG_DFL); }

Result<void> ignore_sigpipe() { return set_disposition(SIGPIPE, SIG_IGN); }

Result<void> clear_signal_mask() {
    sigset_t none;
    if (::sigemptyset(&none) < 0) return last_errno();
    const int rc = ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    if (rc != 0) return Errno{rc};
    return {};
}

std::optional<std::string> take_environment_variable(const char* name) {
    // Only before threads exist, which is when the caller promises to call.
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    if (value == nullptr) return std::nullopt;
    std::string taken(value);
    (void)::unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
    return taken;
}

std::vector<std::string> environment_entries() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
    return entries;
}

Result<void> send_signal(pid_t pid, int sig) {
    if (::kill(pid, sig) < 0) return last_errno();
    return {};
}

}  // namespace marlox::os
