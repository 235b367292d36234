// Build-tree locations, passed in by the build as compile definitions.
#include "support/paths.h"

#include <cstdlib>

namespace marlox::support {

const std::string& daemon_path() {
    // MARLOX_TEST_DAEMON points the harness at another build of the daemon, for comparing
    // builds or checking that a test catches a deliberately broken one.
    static const std::string path = [] {
        const char* chosen = std::getenv("MARLOX_TEST_DAEMON");  // NOLINT(concurrency-mt-unsafe)
        return std::string(chosen != nullptr && *chosen != '\0' ? chosen : MARLOX_DAEMON_PATH);
    }();
    return path;
}

const std::string& fake_bin_dir() {
    static const std::string path = MARLOX_FAKE_BIN_DIR;
    return path;
}

}  // namespace marlox::support
