// Command-line switches, the service thread and the order of start, run and teardown.
#include "service/host.h"

#include <cstdio>
#include <thread>

#include "platform/platform.h"
#include "platform/service_host.h"
#include "service/logs.h"
#include "service/service.h"

namespace qx::service {
namespace {

constexpr const char* kUnitName = "quorvexservice.service";

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
  if (!platform::InstallService(kUnitName, kServiceName, platform::ExecutablePath(), &error)) {
    std::fprintf(stderr, "Service \"%s\" failed to install with error: \"%s\"\n", kServiceName,
                 error.c_str());
    return 1;
  }
  if (!silent) std::printf("Service installed successfully\n");
  return 0;
}

int Uninstall(bool silent) {
  std::string error;
  if (!platform::UninstallService(kUnitName, &error)) {
    std::fprintf(stderr, "Service \"%s\" failed to uninstall with error: \"%s\"\n", kServiceName,
                 error.c_str());
    return 1;
  }
  if (!silent) std::printf("Service uninstalled successfully\n");
  return 0;
}

int RunInForeground() {
  platform::BlockStopSignals();
  platform::IgnoreBrokenPipe();
  TQuorvexService svc;
  svc.ServiceCreate();

  bool started = false;
  std::thread service_thread([&svc, &started] {
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
    svc.loop->Run();
  });

  platform::WaitForStopRequest();
  svc.loop->Stop();
  service_thread.join();
  svc.ServiceDestroy();
  return started ? 0 : 1;
}

}  // namespace

int RunServiceHost(const std::vector<std::string>& args) {
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
  return RunInForeground();
}

}  // namespace qx::service
