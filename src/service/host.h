// The service host: what the executable does with its command line. It stands in for the
// service framework: INSTALL/UNINSTALL register the service; otherwise the service runs in the
// foreground on a service thread of its own until SIGTERM or SIGINT.
#pragma once

#include <string>
#include <vector>

namespace qx::service {

// Runs the executable's command line; returns the process exit code.
int RunServiceHost(const std::vector<std::string>& args);

}  // namespace qx::service
