// The line relay: one pipe of the tunnel process, line by line, to the client.
#pragma once

#include "os/unique_fd.h"
#include "tunnel/client_stream.h"

namespace marlox::tunnel {

// Relays pipe's output to stream as whole lines (see LineCutter) until end of file, a read
// error or a failed send (the stream's drain time ends a stalled one); a last line without a
// line feed is still sent. Once the stream knows the process has exited, the relay takes only
// the bytes the pipe holds at that moment and then ends, so whatever a descendant holding the
// pipe writes afterwards is never relayed. Every line read in one go leaves in one send. Takes
// ownership of pipe, makes it non-blocking and closes it on return. Reports nothing: its end
// is its only result.
void relay_lines(os::UniqueFd pipe, ClientStream& stream) noexcept;

}  // namespace marlox::tunnel
