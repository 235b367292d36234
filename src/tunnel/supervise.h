// Supervision of a started tunnel process until it has exited and everything is cleaned up.
#pragma once

#include <cstdint>
#include <memory>

#include "os/child.h"
#include "tunnel/record.h"

namespace marlox::tunnel {

// Runs a started tunnel, recorded as generation, on the connection thread: starts the watcher
// and the standard-error relay, relays standard output itself, and once the process has exited
// and its output is drained removes the configuration file, clears the record, reaps the
// process and shuts conn down. If a thread cannot be started it logs that, ends the process and
// cleans up the same way. conn is borrowed. Never throws.
void supervise(int conn, os::Child child, const std::shared_ptr<TunnelRecord>& record,
               std::uint64_t generation) noexcept;

}  // namespace marlox::tunnel
