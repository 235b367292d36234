// Entry point of the integration tests: the private /run first, while no thread exists yet.
#include <gtest/gtest.h>

#include "support/private_run.h"

int main(int argc, char** argv) {
    // Failure is not fatal here: each test reports it (skip, or failure under
    // MARLOX_TESTS_MUST_RUN=1) through the IntegrationTest fixture.
    (void)marlox::support::enter_private_run();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
