// Waiting for a descriptor or a termination signal, whichever comes first.
#include "ctl/signal_watch.h"

#include <signal.h>

#include "os/poll.h"
#include "os/signals.h"

namespace marlox::ctl {

os::Result<SignalWatch> SignalWatch::start() {
    auto fd = os::receive_signals({SIGINT, SIGTERM, SIGHUP});
    if (!fd) return fd.error();
    return SignalWatch(std::move(*fd));
}

os::Result<int> SignalWatch::wait_readable(int fd) {
    for (;;) {
        auto woke = os::wait_ready(fd, os::Readiness::kReadable, fd_.get(), /*timeout_ms=*/-1);
        if (!woke) return woke.error();
        if (woke->watched) return os::read_signal(fd_.get());
        if (woke->ready) return 0;
        // Neither: poll was interrupted by some other signal; wait again.
    }
}

}  // namespace marlox::ctl
