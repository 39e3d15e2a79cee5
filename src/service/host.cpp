// Command-line switches, the service thread and the order of start, run and teardown.
#include "service/host.h"

#include <atomic>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "platform/platform.h"
#include "platform/service_host.h"
#include "service/logs.h"
#include "service/passive_startup.h"
#include "service/service.h"
#include "service/unit_plan.h"

#ifndef QX_VERSION
#define QX_VERSION "unknown"
#endif

namespace qx::service {
namespace {

constexpr const char* kLockName = "qxservice.lock";

// The word of a switch: it starts with "/" or "-" (or "--"); "" for anything else.
std::string SwitchWord(const std::string& arg) {
  if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) return "";
  std::string word = arg.substr(1);
  if (!word.empty() && word[0] == '-') word = word.substr(1);  // also accept --install
  return word;
}

// A switch starts with "/" or "-"; its letters in any case.
bool IsSwitch(const std::string& arg, const std::string& name) {
  const std::string word = SwitchWord(arg);
  return !word.empty() && UpperCase(word) == name;
}

struct Options {
  bool help = false, version = false, install = false, uninstall = false, silent = false;
  bool service = false;             // started by the service manager (Windows)
  std::optional<std::string> user;  // /USER=NAME
  std::string bad;                  // the first argument that is none of the switches
};

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  for (const auto& a : args) {
    const std::string word = SwitchWord(a);
    if (IsSwitch(a, "HELP") || IsSwitch(a, "H") || IsSwitch(a, "?")) {
      o.help = true;
    } else if (IsSwitch(a, "VERSION")) {
      o.version = true;
    } else if (IsSwitch(a, "INSTALL")) {
      o.install = true;
    } else if (IsSwitch(a, "UNINSTALL")) {
      o.uninstall = true;
    } else if (IsSwitch(a, "SILENT")) {
      o.silent = true;
    } else if (IsSwitch(a, "SERVICE")) {
      o.service = true;
    } else if (word.size() >= 5 && UpperCase(word.substr(0, 5)) == "USER=") {
      o.user = word.substr(5);
    } else if (o.bad.empty()) {
      o.bad = a;
    }
  }
  return o;
}

void PrintUsage(FILE* to) {
  const std::string dir = ProgramDirectory();
  const std::string unit = platform::ServiceUnitName(kServiceName);
  std::fprintf(to,
      "Usage: qxservice [SWITCH...]\n"
      "\n"
      "Without a switch the service runs in the foreground until SIGTERM or SIGINT (Ctrl-C).\n"
      "Switches start with / or -, in any letter case:\n"
      "  /INSTALL [/USER=NAME]  register the service %s for this\n"
      "                         executable; with /USER it runs as NAME, with only the\n"
      "                         privileges the configured services need\n"
      "  /UNINSTALL             remove it again\n"
      "  /SILENT                with /INSTALL or /UNINSTALL: print nothing on success\n"
      "  /REPLAY FILE...        run as in the foreground, passive services reading the\n"
      "                         capture files (pcap, pcapng) in order; then stop\n"
      "  /SERVICE               (Windows) run as started by the service control manager\n"
      "  --help, -h, /?         this text\n"
      "  --version              the version\n"
      "\n"
      "Files beside the executable (%s):\n"
      "  qxservice.ini          configuration, section [Service]: rpstConnStr, MonitorServices,\n"
      "                         DebugConnections, DeadConnectionTimeout, sqlHistCacheCount,\n"
      "                         sqlCacheCount\n"
      "  qxservice.lock         held by the instance running from this directory\n"
      "  qxservice.log          every message of the service, emptied at each start\n"
      "  qxerror.log            errors only, emptied at each start\n"
      "  NAME.log               connection traces of service NAME (DebugConnections=1)\n"
      "Start-up errors also go to standard error and to the system log (syslog).\n",
      unit.c_str(), dir.c_str());
}

int UsageError(const std::string& why) {
  std::fprintf(stderr, "qxservice: %s\n\n", why.c_str());
  PrintUsage(stderr);
  return 2;
}

int Install(const Options& o) {
  const std::string dir = ProgramDirectory();
  const UnitPlan plan = PlanUnit(dir);
  platform::ServiceUnit unit;
  unit.name = platform::ServiceUnitName(kServiceName);
  unit.description = kServiceName;
  unit.executable = platform::ExecutablePath();
  unit.user = o.user.value_or("");
  unit.capabilities = plan.capabilities;
  unit.writablePaths = plan.writablePaths;
  unit.notes = plan.notes;
  std::string error, warning;
  if (!platform::InstallService(unit, &error, &warning)) {
    std::fprintf(stderr, "Service \"%s\" failed to install with error: \"%s\"\n", kServiceName,
                 error.c_str());
    return 1;
  }
  if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
  if (!o.silent) std::printf("Service installed successfully\n");
  return 0;
}

int Uninstall(bool silent) {
  std::string error;
  if (!platform::UninstallService(platform::ServiceUnitName(kServiceName), &error)) {
    std::fprintf(stderr, "Service \"%s\" failed to uninstall with error: \"%s\"\n", kServiceName,
                 error.c_str());
    return 1;
  }
  if (!silent) std::printf("Service uninstalled successfully\n");
  return 0;
}

// Takes the program directory's instance lock before anything else is touched. Null when
// another instance holds it (or it cannot be taken), after saying so on standard error and
// in the system log.
std::unique_ptr<platform::InstanceLock> LockProgramDirectory(const std::string& dir) {
  const std::string path = dir + kLockName;
  std::string holder, error;
  auto lock = platform::InstanceLock::Acquire(path, &holder, &error);
  if (lock) return lock;
  std::string text;
  if (error.empty()) {
    text = "Another qxservice (process " + (holder.empty() ? std::string("id unknown") : holder) +
           ") is running from " + dir + ": it holds the lock file " + path +
           ". This instance does not start.";
  } else {
    text = "Service failed on start: " + error;
  }
  platform::SystemLogError(kServiceName, text);
  std::fprintf(stderr, "qxservice: %s\n", text.c_str());
  return nullptr;
}

// Start-up on the service thread, reporting what escapes it: the system log as ever, and the
// logs (when they could be opened) and standard error as well.
bool StartService(TQuorvexService& svc) {
  bool started = false;
  svc.echoStartupErrors = true;
  try {
    started = svc.ServiceStart();
  } catch (const std::exception& e) {
    const std::string text = std::string("Service failed on start: ") + e.what();
    platform::SystemLogError(kServiceName, text);
    svc.echoStartupErrors = false;
    svc.ReportError(text);
    std::fprintf(stderr, "qxservice: %s\n", text.c_str());
    started = false;
  }
  svc.echoStartupErrors = false;
  if (started) {
    std::printf("qxservice is running with %zu service(s); logs: %sqxservice.log, errors: "
                "%sqxerror.log\n",
                svc.services.size(), svc.programDirectory.c_str(), svc.programDirectory.c_str());
    std::fflush(stdout);
  }
  return started;
}

// The service until a stop request: in the foreground, or as the body of a service run by the
// service manager (which `report` then keeps informed).
int RunService(const platform::ServiceStateReport& report) {
  platform::BlockStopSignals();
  platform::IgnoreBrokenPipe();
  const std::string dir = ProgramDirectory();
  const auto lock = LockProgramDirectory(dir);
  if (!lock) return 1;
  report(platform::ServiceState::kStarting);
  TQuorvexService svc;
  svc.ServiceCreate();
  svc.programDirectory = dir;

  bool started = false;
  std::thread service_thread([&svc, &started, &report] {
    started = StartService(svc);
    if (!started) {
      platform::RequestStop();
      return;
    }
    report(platform::ServiceState::kRunning);
    svc.loop->Run();
  });

  platform::WaitForStopRequest();
  report(platform::ServiceState::kStopping);
  svc.loop->Stop();
  service_thread.join();
  svc.ServiceDestroy();
  return started ? 0 : 1;
}

int RunInForeground() {
  return RunService([](platform::ServiceState) {});
}

// SERVICE: started by the service manager, which is told how far the service is.
int RunUnderServiceManager() {
  std::string error;
  const int result =
      platform::RunUnderServiceManager(platform::ServiceUnitName(kServiceName), RunService, &error);
  if (result < 0) {
    std::fprintf(stderr, "Service \"%s\" could not reach the service manager: \"%s\"\n",
                 kServiceName, error.c_str());
    return 1;
  }
  return result;
}

// REPLAY: the service as in the foreground, but passive services read the capture files
// instead of their interfaces; teardown follows once the files are read (or at a stop).
int RunReplay(const std::vector<std::string>& files) {
  platform::BlockStopSignals();
  platform::IgnoreBrokenPipe();
  const std::string dir = ProgramDirectory();
  const auto lock = LockProgramDirectory(dir);
  if (!lock) return 1;
  TQuorvexService svc;
  svc.ServiceCreate();
  svc.programDirectory = dir;
  svc.captureFiles = files;

  std::promise<bool> start_result;
  std::future<bool> started_future = start_result.get_future();
  std::thread service_thread([&svc, &start_result] {
    const bool started = StartService(svc);
    start_result.set_value(started);
    if (!started) {
      platform::RequestStop();
      return;
    }
    svc.loop->Run();
  });

  // The files are read only once start-up is complete, so that every service has its filters
  // before its first frame and the same files always give the same records.
  std::atomic<bool> stop{false};
  bool started = false;
  bool all_read = false;
  std::thread replay_thread([&svc, &stop, &started, &all_read, &started_future] {
    started = started_future.get();
    if (!started) return;
    all_read = ReplayCaptureFiles(svc, stop);
    platform::RequestStop();
  });

  platform::WaitForStopRequest();
  stop = true;
  replay_thread.join();
  svc.loop->Stop();
  service_thread.join();
  svc.ServiceDestroy();
  return started && all_read ? 0 : 1;
}

// The arguments after the REPLAY switch, when it is the first one.
bool ReplayFiles(const std::vector<std::string>& args, std::vector<std::string>* files) {
  if (args.empty() || !IsSwitch(args[0], "REPLAY")) return false;
  files->assign(args.begin() + 1, args.end());
  return true;
}

}  // namespace

int RunServiceHost(const std::vector<std::string>& args) {
  std::vector<std::string> files;
  if (ReplayFiles(args, &files)) {  // first, so that no file name is taken for a switch
    if (files.empty()) {
      std::fprintf(stderr, "Usage: qxservice REPLAY FILE...\n");
      return 2;
    }
    return RunReplay(files);
  }
  const Options o = ParseOptions(args);
  if (!o.bad.empty()) return UsageError("unknown argument \"" + o.bad + "\"");
  if (o.help) {
    PrintUsage(stdout);
    return 0;
  }
  if (o.version) {
    std::printf("qxservice %s\n", QX_VERSION);
    return 0;
  }
  if (o.user && (!o.install || o.user->empty())) {
    return UsageError(o.user->empty() ? "/USER= names no user" : "/USER goes with /INSTALL");
  }
  if (o.install) return Install(o);
  if (o.uninstall) return Uninstall(o.silent);
  if (o.service) return RunUnderServiceManager();
  return RunInForeground();
}

}  // namespace qx::service
