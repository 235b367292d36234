// Event: a descriptor one thread makes readable to wake another one that polls it.
#pragma once

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::os {

// A close-on-exec, non-blocking eventfd: readable from the first notify_event() until
// clear_event().
Result<UniqueFd> make_event();

// Makes the event readable; never blocks. Safe from any thread.
Result<void> notify_event(int event_fd);

// Makes the event unreadable again, whatever number of notifications came before.
Result<void> clear_event(int event_fd);

}  // namespace marlox::os
