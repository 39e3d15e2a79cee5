// The sniffer pool of passive services: looking up the sniffer bound to an interface, a free
// one, and an interface by its address; and the reading of capture files in place of the
// interfaces (the REPLAY command).
//
// Threading: the pool is configured on the service thread during start-up; ReplayCaptureFiles
// runs on one thread of its own after start-up has completed and before teardown begins, so
// the pool always has one user at a time.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "service/service.h"

namespace qx::service {

// The first pool sniffer bound to the interface of this address (both trimmed), or null.
sniffer::TSniffer* FindPoolSniffer(TQuorvexService& svc, const std::string& address);
// The first pool sniffer bound to no interface, or null.
sniffer::TSniffer* FreePoolSniffer(TQuorvexService& svc);
// The index of the first device of the sniffer's list with this address (both trimmed), or -1.
int FindDeviceIndex(const sniffer::TSniffer& sniffer, const std::string& address);
// The address text of every device snifIPInt lists, in device order ("0.0.0.0" for none).
std::vector<std::string> InterfaceAddresses(const TQuorvexService& svc);

// Feeds svc.captureFiles, in order, to every bound pool sniffer, each file to all of them at
// once, and returns when all are read (true) or `stop` was seen or a file could not be opened
// (false; reported in both logs). Call after a successful start-up.
bool ReplayCaptureFiles(TQuorvexService& svc, const std::atomic<bool>& stop);

}  // namespace qx::service
