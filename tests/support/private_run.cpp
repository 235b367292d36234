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

// Makes private, with everything below it, the mount that a tmpfs on /run attaches to: without
// this the tmpfs would show up in the machine's namespace too wherever that mount is shared
// (systemd makes / shared). That mount is / or /run itself. In a chroot, / is usually no mount
// point (EINVAL) and, unless /run is one, the mount holding /run lies above the chroot, where
// no path reaches it: then nothing is mounted at all.
std::string make_run_private() {
    for (const char* path : {"/", "/run"}) {
        if (::mount("none", path, nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return {};
        if (errno != EINVAL) return system_error(std::string("making ") + path + " private");
    }
    return "neither / nor /run is a mount point (a chroot?), so a tmpfs on /run could show up "
           "outside the test";
}

std::string try_enter() {
    if (::geteuid() != 0) return "not running as root";
    if (::unshare(CLONE_NEWNS) < 0) return system_error("unshare(CLONE_NEWNS)");
    if (std::string problem = make_run_private(); !problem.empty()) return problem;
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
