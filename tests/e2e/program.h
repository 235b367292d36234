// Program: a helper program of the test (openssl, the stand-in gateway) with bounded waits.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/child.h"
#include "support/deadline.h"
#include "support/outcome.h"
#include "support/output_collector.h"

namespace marlox::e2e {

using support::kDefaultTimeout;
using support::milliseconds;
using support::Outcome;

// A started program whose stdout and stderr are collected. The destructor kills and reaps it
// if it still runs. Not thread-safe.
class Program {
public:
    static Outcome<Program> start(const std::vector<std::string>& argv);

    std::string out() const { return out_->text(); }
    std::string err() const { return err_->text(); }
    bool wait_out(std::string_view text, milliseconds timeout = kDefaultTimeout) const {
        return out_->wait_for(text, timeout);
    }

    // Its exit code once it has exited and its output is drained; nullopt if it still runs at
    // the time-out or did not exit normally.
    std::optional<int> wait_exit(milliseconds timeout = kDefaultTimeout);

private:
    Program(os::Child child, std::unique_ptr<support::OutputCollector> out,
            std::unique_ptr<support::OutputCollector> err)
        : child_(std::move(child)), out_(std::move(out)), err_(std::move(err)) {}

    os::Child child_;
    std::unique_ptr<support::OutputCollector> out_;
    std::unique_ptr<support::OutputCollector> err_;
};

// Runs argv to its end; its standard output if it exits with 0, else why not.
Outcome<std::string> run_program(const std::vector<std::string>& argv,
                                 milliseconds timeout = kDefaultTimeout);

}  // namespace marlox::e2e
