// The monitored-service catalogue: loading the services named in MonitorServices from the
// repository, the port-clash and interface checks, and the service-level start and stop of
// their listeners and status heartbeat.
//
// Threading: LoadServices and StartListeners run on the service thread during start-up;
// StatusHeartbeat on the service thread's loop; StopListeners on the main thread at teardown,
// after the service thread's loop has ended.
#pragma once

#include <string>
#include <vector>

#include "service/service.h"

namespace qx::service {

void LoadServices(TQuorvexService& svc, const std::string& list);

// Name of the first loaded service whose ports clash with `candidate`, or "" for none.
std::string FindPortOwner(const TQuorvexService& svc, const TServiceData& candidate);

// Lists the capture interfaces in the service log and tells whether one has exactly `address`.
bool FindInterface(TQuorvexService& svc, const std::string& address);

// Returns how many services monitor something: their relay listener or capture runs (or,
// for REPLAY, is bound to the capture files).
int StartListeners(TQuorvexService& svc);
void StatusHeartbeat(TQuorvexService& svc, int tag);

// Passive start-up steps of one service: false when its start-up is abandoned.
bool StartPassive(TQuorvexService& svc, TServiceData& service);
// Stops every capture of the sniffer pool (their threads end before this returns) and flushes
// the passive connections.
void StopPassive(TQuorvexService& svc);

// Teardown of the services: timers, listeners, open connections, connection logs, filters.
void StopListeners(TQuorvexService& svc);

}  // namespace qx::service

namespace qx::service {

// The enabled filters of one service, read once at its start-up.
void LoadServiceFilters(TQuorvexService& svc, TServiceData& service);
void LoadSQLFilters(TQuorvexService& svc, TServiceData& service);
void FreeFilters(TServiceData& service);

}  // namespace qx::service
