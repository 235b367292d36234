// Where the daemon under test lives, and the fixed paths it serves.
#pragma once

#include <string>

namespace marlox::support {

inline const std::string kRuntimeDir = "/run/marlox";
inline const std::string kSocketPath = "/run/marlox/helper.sock";
inline const std::string kConfigPath = "/run/marlox/of.conf";

// The marlox-helper binary built with the tests, unless MARLOX_TEST_DAEMON names another.
const std::string& daemon_path();

// The directory holding the fake openfortivpn; the daemon finds it first on its PATH.
const std::string& fake_bin_dir();

}  // namespace marlox::support
