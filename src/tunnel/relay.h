// The line relay: one pipe of the tunnel process, line by line, to the client.
#pragma once

#include "os/unique_fd.h"
#include "tunnel/client_stream.h"

namespace marlox::tunnel {

// Relays pipe's output to stream as whole lines (see LineCutter) until end of file, a read
// error, a failed send or the end of the stream's drain time; a last line without a line feed
// is still sent. Every line read in one go leaves in one send. Takes ownership of pipe, makes
// it non-blocking and closes it on return. Reports nothing: its end is its only result.
void relay_lines(os::UniqueFd pipe, ClientStream& stream) noexcept;

}  // namespace marlox::tunnel
