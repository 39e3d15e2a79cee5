// The service host: what the executable does with its command line. It stands in for the
// service framework: INSTALL/UNINSTALL register the service; otherwise the service runs in the
// foreground on a service thread of its own until SIGTERM or SIGINT (Ctrl-C on Windows), or,
// with SERVICE, under the service manager until it sends a stop. REPLAY FILE... runs it the
// same way, except that passive services read their frames from the capture files, in order,
// instead of their interfaces, and the service stops by itself (exit code 0) once they are read.
#pragma once

#include <string>
#include <vector>

namespace qx::service {

// Runs the executable's command line; returns the process exit code.
int RunServiceHost(const std::vector<std::string>& args);

}  // namespace qx::service
