// Entry point of the end-to-end tests: private /run and a loopback-only network, while no
// thread exists yet.
#include <gtest/gtest.h>

#include "loopback_only.h"
#include "os/process.h"
#include "support/private_run.h"

namespace marlox::e2e {
// What enter_loopback_only_network() reported; the tests require it to be empty.
std::string network_problem;  // NOLINT(cert-err58-cpp)
}  // namespace marlox::e2e

int main(int argc, char** argv) {
    // Failures are reported by each test (skip, or failure under MARLOX_TESTS_MUST_RUN=1).
    const std::string run_problem = marlox::support::enter_private_run();
    marlox::e2e::network_problem = run_problem.empty()
                                       ? marlox::e2e::enter_loopback_only_network()
                                       : "no private /run, so no network namespace either";
    (void)marlox::os::ignore_sigpipe();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
