// systemd units for the service. systemd is told to reload its units when it is running;
// on a machine without systemd the unit file is simply written or removed.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// Unit files expand "%" specifiers: a literal one is written twice.
std::string UnitText(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::string Quoted(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return "\"" + UnitText(path) + "\"";
}

bool UnderHome(const std::string& path) {
  for (const char* top : {"/home/", "/root/", "/run/user/"}) {
    if (path.rfind(top, 0) == 0) return true;
  }
  return false;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

// A note when `uid`/`gid` may not write `dir` by its mode bits (supplementary groups are
// not looked at): the service then cannot create its logs there.
std::string WriteAccessWarning(const std::string& dir, const std::string& who, uid_t uid,
                               gid_t gid) {
  struct stat st{};
  if (stat(dir.c_str(), &st) != 0) return "";
  const bool writable = (st.st_uid == uid && (st.st_mode & S_IWUSR)) ||
                        (st.st_gid == gid && (st.st_mode & S_IWGRP)) || (st.st_mode & S_IWOTH);
  if (writable) return "";
  return "Note: " + who + " may not be able to write " + dir +
         " (its logs, lock and repository go there); give it that directory before starting "
         "the service.";
}

}  // namespace

std::string ServiceUnitName(const std::string& service_name) {
  std::string unit;
  for (char c : service_name) unit += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return unit + ".service";
}

bool InstallService(const ServiceUnit& unit, std::string* error, std::string* warning) {
  if (warning) warning->clear();
  uid_t uid = 0;
  gid_t gid = 0;
  if (!unit.user.empty()) {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(unit.user.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found) {
      if (error) *error = "There is no user named " + unit.user + " on this machine.";
      return false;
    }
    uid = found->pw_uid;
    gid = found->pw_gid;
  }
  std::string text = "# Written by \"qxservice /INSTALL\"; run it again after changing the "
                     "configured services.\n";
  for (const auto& n : unit.notes) text += "# " + n + "\n";
  text +=
      "[Unit]\n"
      "Description=" + UnitText(unit.description) + "\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n"
      "ExecStart=" + Quoted(unit.executable) + "\n";
  if (!unit.user.empty()) text += "User=" + UnitText(unit.user) + "\n";
  text +=
      "Restart=on-failure\n"
      "RestartSec=10\n"
      "KillSignal=SIGTERM\n"
      "TimeoutStopSec=60\n"
      "# The privileges the configured services need and nothing more (empty: none).\n"
      "AmbientCapabilities=" + Joined(unit.capabilities) + "\n"
      "CapabilityBoundingSet=" + Joined(unit.capabilities) + "\n"
      "NoNewPrivileges=yes\n"
      "# Read-only file system but for the program directory (logs, lock, repository).\n"
      "ProtectSystem=strict\n";
  bool home = false;
  for (const auto& p : unit.writablePaths) {
    text += "ReadWritePaths=" + Quoted(p) + "\n";
    home = home || UnderHome(p);
  }
  if (home) {
    text += "# The program directory lies under a home directory: homes are read-only, not "
            "hidden.\n"
            "ProtectHome=read-only\n";
  } else {
    text += "ProtectHome=yes\n";
  }
  text +=
      "PrivateTmp=yes\n"
      "# One descriptor per client and one per server connection, with room to spare.\n"
      "LimitNOFILE=65536\n"
      "# A relayed client runs on a thread of its own: systemd's default (15 % of the process\n"
      "# ids, 4,915 on most machines) would refuse the clients beyond it.\n"
      "TasksMax=65536\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  if (!WriteFile(UnitDirectory() + "/" + unit.name, text, error)) return false;
  if (warning) {
    const std::string who = unit.user.empty() ? "root without CAP_DAC_OVERRIDE"
                                              : "user " + unit.user;
    for (const auto& p : unit.writablePaths) {
      const std::string w = WriteAccessWarning(p, who, uid, gid);
      if (!w.empty()) {
        *warning = w;
        break;
      }
    }
  }
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
