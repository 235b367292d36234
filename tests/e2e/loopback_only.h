// A network namespace of the test's own with only the loopback interface, up.
#pragma once

#include <string>

namespace marlox::e2e {

// Moves the calling process into a new network namespace and brings its loopback interface
// up. Whatever the daemon and openfortivpn then do on the network cannot leave the machine:
// there is no other interface. Call from main() before any thread exists. Returns an empty
// string on success, else why it was not possible.
std::string enter_loopback_only_network();

// The interfaces this process sees, from /proc/self/net/dev.
std::string list_interfaces();

}  // namespace marlox::e2e
