// "connect": start the tunnel process and supervise it on the connection thread.
#pragma once

#include <sys/types.h>

#include <memory>

#include "protocol/request.h"
#include "tunnel/record.h"

namespace marlox::tunnel {

// Handles a "connect" request on the calling connection thread: refuses values holding a line
// break or NUL, reserves the record, writes the configuration file, starts openfortivpn and
// relays its output to conn until it has exited, then removes the file, clears the record and
// shuts conn down. Sends every reply of a connect itself; a started tunnel gets no
// acknowledgement. uid is the admitted peer's, for the record and the log. conn is borrowed; the
// caller closes it afterwards. Never throws.
void run_connect(int conn, uid_t uid, const protocol::Request& request,
                 const std::shared_ptr<TunnelRecord>& record) noexcept;

}  // namespace marlox::tunnel
