// A private /run for the test process: its own mount namespace with a tmpfs on /run.
#pragma once

#include <string>

namespace marlox::support {

// Moves the calling process into a mount namespace of its own, with the mount that holds /run
// made private all the way down so nothing propagates back, and mounts an empty tmpfs on /run
// there. The daemon and its children inherit it, so a test never touches the machine's own /run.
//
// Call once, from main() before any thread exists (unshare(CLONE_NEWNS) refuses a threaded
// process). Needs root, and / or /run a mount point (a chroot may have neither). Returns an empty
// string on success, else why it was not possible; the answer is also kept for
// private_run_problem().
std::string enter_private_run();

// Replaces the private /run with a new empty tmpfs, so tests that share one process (a plain run
// of the test binary) start alike. Returns an empty string on success, else why not.
std::string renew_private_run();

// What enter_private_run() reported: empty when the test process has its private /run.
const std::string& private_run_problem();

// True when MARLOX_TESTS_MUST_RUN=1: a test that cannot run then fails instead of skipping.
bool tests_must_run();

}  // namespace marlox::support
