// Start-up and teardown of passive services: the sniffer pool, one sniffer per interface shared
// by every passive service on it, and the reading of capture files in place of interfaces.
#include <chrono>
#include <thread>

#include "capture/passive.h"
#include "service/catalogue.h"
#include "service/passive_startup.h"
#include "sniffer/sniffer.h"

namespace qx::service {
namespace {

// Bound pool sniffers are polled this often for a capture file's end, so that a stop request
// is noticed while a long file is read.
constexpr int kFileEndPollMs = 100;

bool ReplayMode(const TQuorvexService& svc) { return !svc.captureFiles.empty(); }

void ConfigurePassiveCapture(TQuorvexService& svc, sniffer::TSniffer& sniffer) {
  // Whole frames: a shorter snapshot cuts connect descriptors and statements off.
  sniffer.SetCaptureLength(capture::kPassiveCaptureLength);
  sniffer.SetCaptureMode(sniffer::capPromiscuous);
  sniffer.SetCaptureProtocol(sniffer::pTCP);
  capture::AttachPassiveHandlers(svc, sniffer);
}

int PoolIndex(const TQuorvexService& svc, const sniffer::TSniffer* sniffer) {
  for (size_t i = 0; i < svc.snifferPool.size(); ++i) {
    if (svc.snifferPool[i].get() == sniffer) return static_cast<int>(i);
  }
  return -1;
}

// The new sniffer's part of the start-up; false when the service is abandoned.
bool StartNewSniffer(TQuorvexService& svc, TServiceData& service, sniffer::TSniffer& sniffer) {
  ConfigurePassiveCapture(svc, sniffer);
  if (ReplayMode(svc)) {
    // The interface need not exist here: the frames come from the files, which
    // ReplayCaptureFiles feeds once every service has its filters.
    svc.replayBindings[PoolIndex(svc, &sniffer)] = Trim(service.ipinterface);
    svc.WriteServiceLog("Quorvex listener for service " + service.name +
                        " reads capture files in place of ip interface " + service.ipinterface);
    return true;
  }
  sniffer.SetDeviceIndex(FindDeviceIndex(sniffer, service.ipinterface));
  if (sniffer.DeviceIndex() < 0) {
    svc.ReportError("Unable to find ip interface " + service.ipinterface + " for service " +
                    service.name + " Please contact techncal support service.");
    return false;
  }
  if (sniffer.StartCapture() == 0) {
    svc.WriteServiceLog("Quorvex listener for service " + service.name +
                        " has been successfully started on ip interface " + service.ipinterface);
  } else {
    svc.WriteServiceLog("Quorvex listener for service " + service.name +
                        " failed to start on ip interface " + service.ipinterface);
  }
  return true;
}

}  // namespace

sniffer::TSniffer* FindPoolSniffer(TQuorvexService& svc, const std::string& address) {
  const std::string wanted = Trim(address);
  for (size_t i = 0; i < svc.snifferPool.size(); ++i) {
    sniffer::TSniffer& s = *svc.snifferPool[i];
    if (ReplayMode(svc)) {
      if (i < svc.replayBindings.size() && svc.replayBindings[i] == wanted) return &s;
    } else if (s.DeviceIndex() >= 0 && Trim(s.DeviceAddress()) == wanted) {
      // Only a bound sniffer counts: a free one reads "0.0.0.0", which is no interface.
      return &s;
    }
  }
  return nullptr;
}

sniffer::TSniffer* FreePoolSniffer(TQuorvexService& svc) {
  for (size_t i = 0; i < svc.snifferPool.size(); ++i) {
    sniffer::TSniffer& s = *svc.snifferPool[i];
    const bool bound_to_files = i < svc.replayBindings.size() && svc.replayBindings[i];
    if (s.DeviceIndex() < 0 && !(ReplayMode(svc) && bound_to_files)) return &s;
  }
  return nullptr;
}

int FindDeviceIndex(const sniffer::TSniffer& sniffer, const std::string& address) {
  const std::string wanted = Trim(address);
  for (int i = 0; i < sniffer.DeviceCount(); ++i) {
    if (Trim(sniffer::IPToStr(sniffer.Device(i).Address)) == wanted) return i;
  }
  return -1;
}

std::vector<std::string> InterfaceAddresses(const TQuorvexService& svc) {
  std::vector<std::string> out;
  if (!svc.snifIPInt) return out;
  for (int i = 0; i < svc.snifIPInt->DeviceCount(); ++i) {
    out.push_back(sniffer::IPToStr(svc.snifIPInt->Device(i).Address));
  }
  return out;
}

bool StartPassive(TQuorvexService& svc, TServiceData& service) {
  try {
    {
      std::lock_guard<std::mutex> lock(service.passiveMu);
      service.passiveConnections.clear();
      service.passiveIndex.clear();
    }
    if (ReplayMode(svc)) svc.replayBindings.resize(svc.snifferPool.size());
    sniffer::TSniffer* shared = FindPoolSniffer(svc, service.ipinterface);
    if (shared) {
      service.sniffer = shared;
      svc.WriteServiceLog("Found listening thread for ip interface " + service.ipinterface +
                          " for service " + service.name);
    } else {
      service.sniffer = FreePoolSniffer(svc);
      svc.WriteServiceLog("Created listening thread for ip interface " + service.ipinterface +
                          " for service " + service.name);
    }
    if (!service.sniffer) {
      svc.ReportError("Unable to create listening thread for the ip interface " +
                      service.ipinterface + " for service " + service.name);
      return false;
    }
    if (shared) {
      svc.WriteServiceLog("Quorvex listener for service " + service.name +
                          " has been successfully bound to ip interface " + service.ipinterface);
      return true;
    }
    return StartNewSniffer(svc, service, *service.sniffer.load());
  } catch (const std::exception& e) {
    svc.ReportError(
        "The following error encountered while starting Quorvex listener thread for service " +
        service.name + ": " + e.what());
    return true;
  }
}

bool ReplayCaptureFiles(TQuorvexService& svc, const std::atomic<bool>& stop) {
  std::vector<sniffer::TSniffer*> bound;
  for (size_t i = 0; i < svc.snifferPool.size() && i < svc.replayBindings.size(); ++i) {
    if (svc.replayBindings[i]) bound.push_back(svc.snifferPool[i].get());
  }
  bool all_read = true;
  for (const std::string& file : svc.captureFiles) {
    if (stop.load()) return false;
    svc.WriteServiceLog("Reading capture file " + file);
    std::vector<sniffer::TSniffer*> running;
    for (sniffer::TSniffer* s : bound) {
      s->SetCaptureFile(file);
      if (s->StartCapture() == 0) {
        running.push_back(s);
      } else {
        svc.ReportError("Unable to read capture file " + file);
        all_read = false;
        break;  // the others would fail the same way
      }
    }
    for (sniffer::TSniffer* s : running) {
      while (!s->WaitForCaptureEnd(kFileEndPollMs)) {
        if (stop.load()) break;
      }
      s->StopCapture();  // ends it on a stop; releases it after the file's end
    }
  }
  return all_read && !stop.load();
}

void StopPassive(TQuorvexService& svc) {
  // Every capture thread ends before the records it writes are flushed and released.
  for (const auto& s : svc.snifferPool) s->StopCapture();
  for (auto it = svc.services.rbegin(); it != svc.services.rend(); ++it) {
    if ((*it)->sniffer) capture::FlushPassiveConnections(svc, **it);
  }
}

}  // namespace qx::service
