// Loading and validating the monitored services, and their status rows.
#include "service/catalogue.h"

#include "capture/monitor.h"

#include <cmath>

#include "capture/connection.h"
#include "capture/relay_handlers.h"
#include "manage/manage.h"
#include "platform/datetime.h"
#include "service/heartbeat.h"
#include "service/passive_startup.h"
#include "sniffer/sniffer.h"
#include "sql/sql_store.h"

namespace qx::service {
namespace {

// Cuts L at its first comma; appends a comma to a non-empty remainder that has none, so the
// last name is read by the same loop as the others.
void AppendCommaIfNeeded(std::string& list) {
  if (!list.empty() && list.find(',') == std::string::npos) list += ',';
}

void AddStatusTimer(TQuorvexService& svc, TServiceData& service) {
  const int tag = static_cast<int>(std::trunc(service.id));
  TQuorvexService* owner = &svc;
  TServiceData* data = &service;
  service.statusTimer = svc.loop->AddTimer(5000, [owner, data, tag] {
    const capture::HealthSnapshot now = data->health.Snapshot();
    if (now != data->lastHealth) {
      owner->WriteServiceLog("Capture statistics of service " + data->name + ": " +
                             capture::HealthText(now, ", "));
      data->lastHealth = now;
    }
    if (owner->heartbeat) {
      owner->heartbeat->Request(tag);
    } else {
      StatusHeartbeat(*owner, tag);
    }
  });
  service.hasStatusTimer = true;
}

void RemoveStatusTimer(TQuorvexService& svc, TServiceData& service) {
  if (service.hasStatusTimer) svc.loop->RemoveTimer(service.statusTimer);
  service.hasStatusTimer = false;
}

}  // namespace

std::string FindPortOwner(const TQuorvexService& svc, const TServiceData& x) {
  for (const auto& s : svc.services) {
    if ((s->work_port == x.work_port && x.work_port != 0) || s->manage_port == x.work_port ||
        s->work_port == x.manage_port || s->manage_port == x.manage_port) {
      return s->name;
    }
  }
  return "";
}

bool FindInterface(TQuorvexService& svc, const std::string& address) {
  svc.WriteServiceLog("Available Interface List");
  const std::vector<std::string> addresses = InterfaceAddresses(svc);
  for (const std::string& a : addresses) {
    if (a != "0.0.0.0") svc.WriteServiceLog("Interface: " + a);
  }
  for (const std::string& a : addresses) {
    if (a == address) return true;
  }
  return false;
}

void LoadServices(TQuorvexService& svc, const std::string& list_text) {
  if (!svc.session || !svc.session->Connected()) return;
  auto query = svc.session->NewQuery(repository::SqlId::kLoadService);
  std::string list = Trim(list_text);
  AppendCommaIfNeeded(list);
  size_t comma;
  while ((comma = list.find(',')) != std::string::npos) {
    const std::string name = UpperCase(Trim(list.substr(0, comma)));
    list = list.substr(comma + 1);
    AppendCommaIfNeeded(list);
    if (name.empty()) continue;

    query->SetString("name", name);
    query->Open();
    if (query->Eof()) {
      query->Close();
      svc.ReportError("Unable to load service \"" + name +
                      "\" named in MonitorServices: the database repository under schema " +
                      svc.session->UserName() + "@" + svc.session->Server() +
                      " holds no service of that name.");
      continue;
    }
    auto service = std::make_unique<TServiceData>();
    service->id = query->FieldAsNumber("id");
    service->oracle_port = query->FieldAsNumber("oracle_port");
    service->work_port = query->FieldAsNumber("work_port");
    service->manage_port = query->FieldAsNumber("manage_port");
    service->name = query->FieldAsString("name");
    service->oracle_host = query->FieldAsString("oracle_host");
    service->ipinterface = query->FieldAsString("ipinterface");
    service->totalConnections = 0;
    AddStatusTimer(svc, *service);

    const std::string owner = FindPortOwner(svc, *service);
    // Frames read from capture files were taken on another machine, whose interfaces need not
    // exist here.
    const bool needs_interface = service->work_port == 0 && svc.captureFiles.empty();
    bool accepted = false;
    if (!owner.empty()) {
      svc.ReportError("Unable to load service \"" + service->name +
                      "\" because its ports are used by the service \"" + owner + "\"");
    } else if (service->work_port == service->manage_port) {
      svc.ReportError("Unable to load service \"" + service->name +
                      "\" because its working and managing ports must be different.");
    } else if (needs_interface && !FindInterface(svc, service->ipinterface)) {
      svc.ReportError("Unable to find monitoring IP interface " + service->ipinterface +
                      " for the service \"" + service->name + "\"");
    } else {
      accepted = true;
    }
    if (accepted) {
      svc.services.push_back(std::move(service));
    } else {
      RemoveStatusTimer(svc, *service);
    }
    query->Close();
  }
}

void StatusHeartbeat(TQuorvexService& svc, int tag) {
  if (!svc.session || !svc.session->Connected()) return;
  auto st = svc.session->NewStatement(repository::SqlId::kUpdateStatusRow);
  st->SetNumber("service_id", tag);
  st->SetString("host", GetHostName());
  st->Execute();
}

namespace {

// The managing listener, connection log, filters and status row of a service whose relay
// listener or capture has been set up (or has failed). Returns false when the service's
// start-up is abandoned at its managing listener.
bool StartManagingPart(TQuorvexService& svc, TServiceData& service,
                       repository::Statement& insert_status) {
  const int port = static_cast<int>(std::trunc(service.manage_port));
  TQuorvexService* owner = &svc;
  service.manageListener = std::make_unique<manage::TManageListener>(
      *svc.loop, port, [owner](int local_port, platform::SocketHandle client) {
        return manage::ManageRequest(*owner, local_port, client);
      });
  service.manageListener->SetLimits(
      static_cast<size_t>(svc.manageMaxClients),
      static_cast<uint32_t>(svc.manageIdleTimeout) * 1000u,
      [owner, name = service.name](const std::string& line) {
        owner->WriteServiceLog("Managing listener of service " + name + ": " + line);
      });
  service.startTime = platform::NowDateTime();
  try {
    service.manageListener->Activate();
  } catch (const std::exception& e) {
    svc.ReportError("The following error encountered while starting managing listener for service " +
                    service.name + ": " + e.what());
    service.manageListener.reset();
    return false;
  }
  svc.WriteServiceLog("Quorvex managing listener for service " + service.name +
                      " has been successfully started on port " + std::to_string(port));
  if (svc.debugConnections) {
    std::string error;
    // Traces hold raw traffic, bind values included: for the service's account only.
    if (service.connLog.Create(svc.programDirectory + service.name + ".log", &error,
                               platform::FileAccess::kOwnerOnly)) {
      service.connLogOpen = true;
      service.connLog.WriteLine("Connections log started for service " + service.name);
    } else {
      svc.ReportError("Unable to create the connection log of service " + service.name + ": " +
                      error);
    }
  }
  {
    // A passive service's capture may already be handling its frames, which read the filters
    // under passiveMu.
    std::unique_lock<std::mutex> lock(service.passiveMu, std::defer_lock);
    if (service.sniffer) lock.lock();
    LoadServiceFilters(svc, service);
    LoadSQLFilters(svc, service);
  }
  insert_status.SetNumber("service_id", service.id);
  insert_status.SetString("host", GetHostName());
  insert_status.Execute();
  return true;
}

// True when the relay listener is up.
bool StartRelay(TQuorvexService& svc, TServiceData& service) {
  auto relay = std::make_unique<capture::TRelayListener>();
  relay->port = static_cast<int>(std::trunc(service.work_port));
  relay->targetHost = service.oracle_host;
  relay->targetPort = static_cast<int>(std::trunc(service.oracle_port));
  relay->stallTimeoutMs = svc.relayStallTimeout * 1000;
  capture::AttachRelayHandlers(svc, *relay, &service);
  capture::TRelayListener& r = *relay;
  service.tcpMain = std::move(relay);
  try {
    r.Activate();
    svc.WriteServiceLog("Quorvex listener for service " + service.name +
                        " has been successfully started on port " + std::to_string(r.port) +
                        " Monitoring clients connecting to " + service.oracle_host + ":" +
                        std::to_string(r.targetPort));
  } catch (const std::exception& e) {
    svc.ReportError("The following error encountered while starting Quorvex listener thread for service " +
                    service.name + ": " + e.what());
    svc.ReportError("Quorvex listener for service " + service.name + " cannot listen on port " +
                    std::to_string(r.port) + ": the service relays no client.");
    return false;
  }
  return true;
}

// True when the passive service's frames are read: its sniffer captures, or is bound to the
// capture files of a REPLAY.
bool Capturing(const TQuorvexService& svc, const TServiceData& service) {
  const sniffer::TSniffer* s = service.sniffer.load();
  if (!s) return false;
  if (!svc.captureFiles.empty()) return true;
  return s->Capturing();
}

}  // namespace

int StartListeners(TQuorvexService& svc) {
  {
    auto st = svc.session->NewStatement(repository::SqlId::kDeleteStatusRows);
    st->SetString("host", GetHostName());
    st->Execute();
  }
  auto insert = svc.session->NewStatement(repository::SqlId::kInsertStatusRow);
  int running = 0;
  for (auto it = svc.services.rbegin(); it != svc.services.rend(); ++it) {
    TServiceData& service = **it;
    if (service.IsActive()) {
      if (StartRelay(svc, service)) ++running;
    } else if (!StartPassive(svc, service)) {
      continue;  // abandoned at the sniffer or interface step
    } else if (Capturing(svc, service)) {
      ++running;
    } else {
      svc.ReportError("Quorvex listener for service " + service.name +
                      " captures no frame on ip interface " + service.ipinterface +
                      " (capturing needs root or CAP_NET_RAW and CAP_NET_ADMIN, and libpcap).");
    }
    StartManagingPart(svc, service, *insert);
  }
  return running;
}

namespace {

// Flushes and releases the records of the relay connections still open. Each connection is
// detached first, so its thread runs no handler from then on and never touches the record
// again. The records leave the status listing's list before they are destroyed.
void FlushOpenRelayConnections(TQuorvexService& svc) {
  std::vector<std::shared_ptr<capture::TRelayConnection>> conns;
  {
    std::lock_guard<std::mutex> lock(svc.relayMu);
    conns = svc.relayThreads;
  }
  for (auto it = conns.rbegin(); it != conns.rend(); ++it) {
    capture::TRelayConnection& conn = **it;
    conn.Detach();
    capture::TThreadData* rec = conn.data.get();
    if (!rec || !rec->established) continue;
    capture::CloseMonitoredConnection(svc, *rec, capture::CloseReason::kStop,
                                      capture::MonitorNowMs());
    rec->traceLines.reset();
  }
  {
    std::lock_guard<std::mutex> lock(svc.relayMu);
    svc.relayThreads.clear();
  }
  for (auto it = conns.rbegin(); it != conns.rend(); ++it) (*it)->data.reset();
}

}  // namespace

void StopListeners(TQuorvexService& svc) {
  // No new relayed connection may start while the open ones are flushed.
  for (const auto& s : svc.services) {
    if (s->tcpMain) s->tcpMain->StopAccepting();
  }
  StopPassive(svc);  // capture threads end before their records are flushed and released
  FlushOpenRelayConnections(svc);
  for (auto it = svc.services.rbegin(); it != svc.services.rend(); ++it) {
    TServiceData& service = **it;
    RemoveStatusTimer(svc, service);
    if (service.manageListener) {
      service.manageListener->Deactivate();
      service.manageListener.reset();
      svc.WriteServiceLog("Managing listener for service " + service.name + " has been stopped.");
    }
    if (service.tcpMain) {
      service.tcpMain->Deactivate();
      service.tcpMain.reset();
      svc.WriteServiceLog("Quorvex listener for service " + service.name + " has been stopped.");
    }
    if (service.connLogOpen.load()) {
      service.connLog.WriteLine("Connections log closed for service " + service.name);
      service.connLogOpen = false;
      service.connLog.Close();
    }
    FreeFilters(service);
  }
  // The statement cache stays: the history writer still uses it for what the connections
  // handed over (the service object drops it once the writer is done).
}

}  // namespace qx::service
