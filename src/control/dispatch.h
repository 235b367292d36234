// The connection handler: peer check, request line, parse and dispatch.
#pragma once

#include <memory>

#include "os/unique_fd.h"
#include "tunnel/record.h"

namespace marlox::control {

// Serves one accepted control connection from start to end; runs as its thread's entry point.
// Owns conn and closes it on return. Never throws.
void serve_connection(os::UniqueFd conn, std::shared_ptr<tunnel::TunnelRecord> record) noexcept;

}  // namespace marlox::control
