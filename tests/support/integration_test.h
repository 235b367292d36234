// IntegrationTest: the GoogleTest fixture for tests that run the real daemon.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/daemon.h"
#include "support/private_run.h"

namespace marlox::support {

// Base fixture: the test runs only inside the private /run (see private_run.h). Without it the
// test is skipped with the reason, or fails when MARLOX_TESTS_MUST_RUN=1 (as CI sets), so a CI
// run cannot pass by skipping everything.
class IntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!require(private_run_problem().empty(), private_run_problem())) return;
        const std::string problem = renew_private_run();
        ASSERT_EQ(problem, "");
    }

    // For a test that needs more than the private /run. When condition is false the test is
    // marked skipped with the reason (failed when tests must run) and false comes back:
    //   if (!require(limit_works, "why not")) return;
    static bool require(bool condition, const std::string& reason) {
        if (condition) return true;
        if (tests_must_run()) {
            // Fatal, so neither the rest of SetUp nor the test body runs outside the private /run.
            [&reason] { FAIL() << "cannot run (MARLOX_TESTS_MUST_RUN=1): " << reason; }();
        } else {
            [&reason] { GTEST_SKIP() << reason; }();  // GTEST_SKIP returns from the lambda only
        }
        return false;
    }
};

// Fixture whose tests find a daemon already serving, started by SetUp with daemon_options().
class DaemonTest : public IntegrationTest {
protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        auto started = Daemon::start(daemon_options());
        ASSERT_TRUE(started) << started.error();
        daemon_.emplace(std::move(*started));
    }

    virtual DaemonOptions daemon_options() const { return {}; }
    Daemon& daemon() { return *daemon_; }

private:
    std::optional<Daemon> daemon_;
};

}  // namespace marlox::support
