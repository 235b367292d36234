// Entering the private mount namespace that every integration test runs in.
#include "support/private_run.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace marlox::support {
namespace {

std::string& problem() {
    static std::string text = "enter_private_run() was not called";
    return text;
}

std::string system_error(std::string_view what) {
    return std::string(what) + ": " + strerrordesc_np(errno);
}

std::string mount_run() {
    if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") < 0) {
        return system_error("mounting a tmpfs on /run");
    }
    return {};
}

std::string try_enter() {
    if (::geteuid() != 0) return "not running as root";
    if (::unshare(CLONE_NEWNS) < 0) return system_error("unshare(CLONE_NEWNS)");
    // Without this, the tmpfs below would show up in the machine's namespace too wherever /
    // is a shared mount (systemd's default).
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) {
        return system_error("making / private");
    }
    return mount_run();
}

}  // namespace

std::string enter_private_run() {
    problem() = try_enter();
    return problem();
}

std::string renew_private_run() {
    if (!problem().empty()) return problem();
    // Stacked on the old one rather than replacing it: /run never shows the machine's own
    // directory, not even for a moment.
    return mount_run();
}

const std::string& private_run_problem() { return problem(); }

bool tests_must_run() {
    const char* value = std::getenv("MARLOX_TESTS_MUST_RUN");  // NOLINT(concurrency-mt-unsafe)
    return value != nullptr && std::string_view(value) == "1";
}

}  // namespace marlox::support
