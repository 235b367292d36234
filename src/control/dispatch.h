// The connection handler: peer check, request line, parse and dispatch.
#pragma once

#include <memory>

#include "control/connection_cap.h"
#include "os/unique_fd.h"
#include "tunnel/record.h"

namespace marlox::control {

// Serves one accepted control connection from start to end; runs as its thread's entry point.
// Owns conn and closes it on return; an admitted peer's connection counts against cap all that
// time. Never throws.
void serve_connection(os::UniqueFd conn, std::shared_ptr<tunnel::TunnelRecord> record,
                      std::shared_ptr<ConnectionCap> cap) noexcept;

}  // namespace marlox::control
