// Command-line switches, the service thread and the order of start, run and teardown.
#include "service/host.h"

#include <atomic>
#include <cstdio>
#include <future>
#include <thread>

#include "platform/platform.h"
#include "platform/service_host.h"
#include "service/logs.h"
#include "service/passive_startup.h"
#include "service/service.h"

namespace qx::service {
namespace {

// A switch starts with "/" or "-"; its letters in any case.
bool IsSwitch(const std::string& arg, const std::string& name) {
  if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) return false;
  std::string word = arg.substr(1);
  if (!word.empty() && word[0] == '-') word = word.substr(1);  // also accept --install
  return UpperCase(word) == name;
}

bool HasSwitch(const std::vector<std::string>& args, const std::string& name) {
  for (const auto& a : args) {
    if (IsSwitch(a, name)) return true;
  }
  return false;
}

int Install(bool silent) {
  std::string error;
  if (!platform::InstallService(platform::ServiceUnitName(kServiceName), kServiceName, platform::ExecutablePath(), &error)) {
    std::fprintf(stderr, "Service \"%s\" failed to install with error: \"%s\"\n", kServiceName,
                 error.c_str());
    return 1;
  }
  if (!silent) std::printf("Service installed successfully\n");
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

// The service until a stop request: in the foreground, or as the body of a service run by the
// service manager (which `report` then keeps informed).
int RunService(const platform::ServiceStateReport& report) {
  platform::BlockStopSignals();
  platform::IgnoreBrokenPipe();
  platform::RaiseDescriptorLimit();
  report(platform::ServiceState::kStarting);
  TQuorvexService svc;
  svc.ServiceCreate();

  bool started = false;
  std::thread service_thread([&svc, &started, &report] {
    try {
      started = svc.ServiceStart();
    } catch (const std::exception& e) {
      platform::SystemLogError(kServiceName,
                               std::string("Service failed on start: ") + e.what());
      started = false;
    }
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
  platform::RaiseDescriptorLimit();
  TQuorvexService svc;
  svc.ServiceCreate();
  svc.captureFiles = files;

  std::promise<bool> start_result;
  std::future<bool> started_future = start_result.get_future();
  std::thread service_thread([&svc, &start_result] {
    bool started = false;
    try {
      started = svc.ServiceStart();
    } catch (const std::exception& e) {
      platform::SystemLogError(kServiceName,
                               std::string("Service failed on start: ") + e.what());
    }
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
  const bool silent = HasSwitch(args, "SILENT");
  if (HasSwitch(args, "INSTALL")) {
    TQuorvexService svc;
    svc.ServiceCreate();
    return Install(silent);
  }
  if (HasSwitch(args, "UNINSTALL")) {
    TQuorvexService svc;
    svc.ServiceCreate();
    return Uninstall(silent);
  }
  if (HasSwitch(args, "SERVICE")) return RunUnderServiceManager();
  return RunInForeground();
}

}  // namespace qx::service
