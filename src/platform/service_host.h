// Registration of the executable with the host's service manager: a systemd unit on Linux
// (the service control manager on Windows). The unit directory is /etc/systemd/system unless
// the environment variable QX_SYSTEMD_UNIT_DIR names another one (tests use that).
//
// Threading: call from the main thread only.
#pragma once

#include <string>

namespace qx::platform {

// Writes the unit `unit_name` that runs `executable` in the foreground, restarted on failure.
bool InstallService(const std::string& unit_name, const std::string& description,
                    const std::string& executable, std::string* error);
bool UninstallService(const std::string& unit_name, std::string* error);

}  // namespace qx::platform
