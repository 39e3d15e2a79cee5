// Registration of the executable with the host's service manager: a systemd unit on Linux,
// the service control manager (SCM) on Windows. The unit directory is /etc/systemd/system
// unless the environment variable QX_SYSTEMD_UNIT_DIR names another one (tests use that).
//
// Threading: call from the main thread only.
#pragma once

#include <functional>
#include <string>

namespace qx::platform {

// The name the service manager knows the service by: "quorvexservice.service" for systemd,
// the service name itself for the SCM.
std::string ServiceUnitName(const std::string& service_name);

// Linux: writes the unit `unit_name` that runs `executable` in the foreground, restarted on
// failure. Windows: registers the service `unit_name` (display name `description`) that the
// SCM starts automatically as `"executable" /SERVICE`.
bool InstallService(const std::string& unit_name, const std::string& description,
                    const std::string& executable, std::string* error);
// Windows: a running service is asked to stop (and waited for, up to 30 s) before it is
// deleted.
bool UninstallService(const std::string& unit_name, std::string* error);

// How far a service run under the service manager is, for the manager's status display.
enum class ServiceState { kStarting, kRunning, kStopping };
using ServiceStateReport = std::function<void(ServiceState)>;

// Windows: hands the process to the SCM's dispatcher and runs `body` as service `unit_name`
// on the thread the SCM starts for it; `body` reports its progress through the function it is
// given (which may be called from any thread) and returns the process exit code. The stop and
// shutdown controls call RequestStop() (platform.h). Returns body's result, or -1 with *error
// set when the dispatcher cannot be reached: the process was not started by the SCM (from a
// console that is known only after a long wait, so call this only when told to, by /SERVICE).
// Linux: body runs at once on the calling thread with a report that does nothing.
int RunUnderServiceManager(const std::string& unit_name,
                           const std::function<int(const ServiceStateReport&)>& body,
                           std::string* error);

}  // namespace qx::platform
