// Entry point of marlox-ctl's integration tests: the private /run first, while no thread exists.
#include <gtest/gtest.h>

#include "os/process.h"
#include "support/private_run.h"

int main(int argc, char** argv) {
    // Failure is not fatal here: each test reports it through the IntegrationTest fixture.
    (void)marlox::support::enter_private_run();
    // A marlox-ctl that has already ended must not take the test down when it is written to.
    // (Its own SIGPIPE is put back to the default before it starts.)
    (void)marlox::os::ignore_sigpipe();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
