// systemd units for the service. systemd is told to reload its units when it is running;
// on a machine without systemd the unit file is simply written or removed.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/service_host.h"

namespace qx::platform {
namespace {

std::string UnitDirectory() {
  const char* dir = std::getenv("QX_SYSTEMD_UNIT_DIR");
  return dir && *dir ? dir : "/etc/systemd/system";
}

void ReloadSystemd() {
  struct stat st{};
  if (stat("/run/systemd/system", &st) == 0 && std::getenv("QX_SYSTEMD_UNIT_DIR") == nullptr) {
    if (std::system("systemctl daemon-reload >/dev/null 2>&1") != 0) {
      // The unit is written; systemd picks it up at its next reload.
    }
  }
}

}  // namespace

std::string ServiceUnitName(const std::string& service_name) {
  std::string unit;
  for (char c : service_name) unit += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return unit + ".service";
}

bool InstallService(const std::string& unit_name, const std::string& description,
                    const std::string& executable, std::string* error) {
  const std::string unit =
      "[Unit]\n"
      "Description=" + description + "\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n"
      "ExecStart=\"" + executable + "\"\n"
      "Restart=on-failure\n"
      "RestartSec=10\n"
      "KillSignal=SIGTERM\n"
      "TimeoutStopSec=60\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  if (!WriteFile(UnitDirectory() + "/" + unit_name, unit, error)) return false;
  ReloadSystemd();
  return true;
}

bool UninstallService(const std::string& unit_name, std::string* error) {
  const std::string path = UnitDirectory() + "/" + unit_name;
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) {
    if (error) *error = "The specified service does not exist as an installed service.";
    return false;
  }
  if (unlink(path.c_str()) != 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  ReloadSystemd();
  return true;
}

// systemd starts the foreground program itself: there is no dispatcher to hand over to.
int RunUnderServiceManager(const std::string& /*unit_name*/,
                           const std::function<int(const ServiceStateReport&)>& body,
                           std::string* /*error*/) {
  return body([](ServiceState) {});
}

}  // namespace qx::platform
