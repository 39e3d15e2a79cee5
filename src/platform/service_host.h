// Registration of the executable with the host's service manager: a systemd unit on Linux,
// the service control manager (SCM) on Windows. The unit directory is /etc/systemd/system
// unless the environment variable QX_SYSTEMD_UNIT_DIR names another one (tests use that).
//
// Threading: call from the main thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qx::platform {

// The name the service manager knows the service by: "quorvexservice.service" for systemd,
// the service name itself for the SCM.
std::string ServiceUnitName(const std::string& service_name);

// What the registered service runs as and may do.
struct ServiceUnit {
  std::string name;         // the unit's file name, e.g. "quorvexservice.service"
  std::string description;
  std::string executable;   // full path; run in the foreground, restarted on failure
  std::string user;         // the account it runs as; "" keeps the manager's default (root)
  // Privileges beyond an ordinary user's that the configured services need, by their Linux
  // names ("CAP_NET_RAW", "CAP_NET_ADMIN", "CAP_NET_BIND_SERVICE"); nothing else is kept.
  std::vector<std::string> capabilities;
  // Directories the service writes (its program directory first); the rest of the file
  // system is read-only to it where the manager can enforce that.
  std::vector<std::string> writablePaths;
  // Lines written as comments at the head of the unit: how its settings were decided.
  std::vector<std::string> notes;
};

// Linux: writes the unit, which runs the executable in the foreground, restarted on failure.
// Windows: registers the service `name` (display name `description`) that the SCM starts
// automatically as `"executable" /SERVICE`, as LocalSystem (a `user` is refused).
// False with *error set when it cannot (an unknown user included). *warning, when given, is
// set to what an administrator should know before starting it ("" if nothing), e.g. that the
// user cannot write the program directory.
bool InstallService(const ServiceUnit& unit, std::string* error, std::string* warning = nullptr);
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
