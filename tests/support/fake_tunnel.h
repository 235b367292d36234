// FakeTunnel: the test's side of the fake openfortivpn, its scripts and its records.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/deadline.h"

namespace marlox::support {

// The fake (tests/fake/openfortivpn.cpp) reads its script from, and writes its records to, a
// directory in the private /run that the daemon names to it through MARLOX_FAKE_DIR. The
// script is chosen by the host value of the configuration file, so each "connect" of a test
// picks its own behaviour; the script language is described in the fake's source.
class FakeTunnel {
public:
    static inline const std::string kDir = "/run/marlox-fake";

    // Creates the directory (empty). Call after the private /run has been set up.
    FakeTunnel();

    // The environment entry that points the daemon, and so the fake, here.
    static std::string env_entry() { return "MARLOX_FAKE_DIR=" + kDir; }

    // The script a fake started with host runs, one command a line.
    void write_script(std::string_view host, std::string_view script) const;

    // Whether the fake wrote record name within the time-out ("ready" once it has recorded
    // everything and starts its script; "term" once it received SIGTERM).
    bool wait_for(std::string_view name, milliseconds timeout = kDefaultTimeout) const;
    bool has(std::string_view name) const;
    // Removes record name, so that waiting for it waits for the next fake to write it.
    void forget(std::string_view name) const;
    // The content of record name; nullopt when the fake has not written it.
    std::optional<std::string> read(std::string_view name) const;

    // The arguments the last fake was started with, argv[0] included.
    std::vector<std::string> argv() const;
    // The process id of every fake started so far, in order.
    std::vector<pid_t> starts() const;
};

}  // namespace marlox::support
