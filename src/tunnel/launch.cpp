// TEMPORARY placeholder until the tunnel supervision lands: refuses every connect.
#include "tunnel/launch.h"

#include "control/replies.h"
#include "os/io.h"

namespace marlox::tunnel {

void run_connect(int conn, const control::Request&, const std::shared_ptr<TunnelRecord>&) noexcept {
    (void)os::send_all(conn, "{\"error\":\"spawn: not built yet\"}\n");
}

}  // namespace marlox::tunnel
