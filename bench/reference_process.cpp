// Starting a reference server and waiting until it takes connections.
#include "reference_process.h"

#include <chrono>
#include <thread>

#include "os/socket.h"
#include "support/deadline.h"

namespace marlox::bench {

support::Outcome<ReferenceProcess> ReferenceProcess::start(const std::string& program,
                                                           const std::string& socket_path) {
    const std::string argv[] = {program, socket_path};
    auto child = os::Child::spawn(argv);
    if (!child)
        return support::Failure{"cannot start " + program + ": " + os::describe(child.error())};
    // Its output pipes are not read: a reference prints nothing unless it cannot listen.
    const support::Deadline deadline(support::kDefaultTimeout);
    while (!os::connect_unix(socket_path)) {
        if (deadline.expired()) return support::Failure{program + " did not listen in time"};
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ReferenceProcess(std::move(*child), socket_path);
}

}  // namespace marlox::bench
