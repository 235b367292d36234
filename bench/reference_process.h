// A reference server started for one benchmark run.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>

#include "os/child.h"
#include "support/outcome.h"

namespace marlox::bench {

// Owns the started program; the destructor kills and reaps it (os::Child's rule).
class ReferenceProcess {
public:
    // Starts program with socket_path as its one argument and waits (bounded) until a client
    // can connect there.
    static support::Outcome<ReferenceProcess> start(const std::string& program,
                                                    const std::string& socket_path);

    pid_t pid() const { return child_.pid(); }
    const std::string& socket_path() const { return socket_path_; }

private:
    ReferenceProcess(os::Child child, std::string socket_path)
        : child_(std::move(child)), socket_path_(std::move(socket_path)) {}

    os::Child child_;
    std::string socket_path_;
};

}  // namespace marlox::bench
