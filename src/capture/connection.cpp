// Connection records: numbering, registration, trace output and descriptor analysis.
#include "capture/connection.h"

#include <algorithm>

#include "capture/connect_descriptor.h"
#include "capture/host_cache.h"
#include "platform/datetime.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "sql/sql_store.h"

namespace qx::capture {

using service::TQuorvexService;
using service::TServiceData;

double NextSessionId(TQuorvexService& svc) {
  auto query = svc.session->NewQuery(repository::SqlId::kNextSessionId);
  query->Open();
  const double id = query->FirstAsNumber();
  query->Close();
  return id;
}

TServiceData* FindConnectionService(TQuorvexService& svc, TRelayConnection* connection) {
  if (!connection) return nullptr;
  if (connection->data && connection->data->service) {
    for (const auto& s : svc.services) {
      if (s.get() == connection->data->service) return s.get();
    }
  }
  if (connection->local_port == 0) return nullptr;
  for (const auto& s : svc.services) {
    if (s->tcpMain && s->tcpMain->LocalPort() == connection->local_port) return s.get();
  }
  return nullptr;
}

TServiceData* RecordService(TQuorvexService& svc, TThreadData& record) {
  if (record.service) return record.service;
  return FindConnectionService(svc, record.relayThread);
}

void AssignSessionNumber(TQuorvexService& svc, TThreadData& record) {
  record.sessionId = 0;
  record.sessionKey = 0;
  record.streamKey = svc.sessionNumbers ? svc.sessionNumbers->NewKey() : 0;
  if (svc.sessionNumbers) record.sessionId = svc.sessionNumbers->TryTake();
  if (record.sessionId != 0) return;
  if (svc.sessionNumbers) {
    record.sessionKey = svc.sessionNumbers->NewKey();
    return;
  }
  // Without a reserve (tests that drive the pipeline directly) the number is drawn in place.
  try {
    record.sessionId = NextSessionId(svc);
  } catch (const std::exception& e) {
    svc.ReportError(std::string("Unable to draw a session number: ") + e.what());
  }
}

void CreateConnection(TQuorvexService& svc, TRelayConnection& connection,
                      TServiceData* known_service) {
  auto record = std::make_unique<TThreadData>();
  record->traceLines = std::make_unique<std::vector<std::string>>();
  record->relayThread = &connection;
  AssignSessionNumber(svc, *record);
  record->elapsedTime = 0;
  record->historyQueue = std::make_unique<std::vector<sql::TSQLHistData>>();
  connection.data = std::move(record);
  TThreadData& rec = *connection.data;
  TServiceData* service =
      known_service ? known_service : FindConnectionService(svc, &connection);
  rec.service = service;
  rec.debug = service && service->connLogOpen.load();
  {
    std::lock_guard<std::mutex> lock(svc.relayMu);
    svc.relayThreads.push_back(connection.shared_from_this());
  }
  if (service) service->totalConnections.fetch_add(1);
  rec.connectionNo = svc.TakeConnectionNo();
  if (rec.debug) rec.traceSink = service;
  const std::string n = std::to_string(rec.connectionNo);
  AddTrace(rec, "Connection # " + n + " initialized.");
  AddTrace(rec, "Connection # " + n + " Connection Peer Port = " + std::to_string(connection.peer_port));
  svc.WriteServiceLog("Connection # " + n + " initialized.");
}

void ReleaseConnection(TQuorvexService& svc, TRelayConnection& connection) {
  if (connection.data) connection.data->traceLines.reset();
  {
    std::lock_guard<std::mutex> lock(svc.relayMu);
    auto& list = svc.relayThreads;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const auto& c) { return c.get() == &connection; }),
               list.end());
  }
  connection.data.reset();
}

void FlushTrace(TQuorvexService& svc, TThreadData& record) {
  TServiceData* service = RecordService(svc, record);
  if (!service || !service->connLogOpen.load() || !record.traceLines) return;
  WriteTraceOut(*service, record);
}

std::string ResolveHostIp(const std::string& host) {
  static HostAddressCache cache(platform::ResolveHostIPv4);
  return cache.Resolve(host, platform::TickCount());
}

bool CheckConnDateExpr(TQuorvexService& svc, const std::string& expression) {
  return sql::CountQueryHolds(svc, ConnDateExprQueryText(expression));
}

void AnalyzeConnectData(TQuorvexService& svc, TThreadData& record, std::string_view text) {
  TServiceData* service = RecordService(svc, record);
  std::shared_lock<std::shared_mutex> filters;
  if (service) filters = std::shared_lock<std::shared_mutex>(service->filtersMu);
  const ConnectAnalysis analysis = AnalyzeConnectText(
      record, text, platform::NowDateTime(), svc.debugConnections,
      service ? &service->serviceFilters : nullptr, ResolveHostIp,
      [&svc](const std::string& expression) { return CheckConnDateExpr(svc, expression); });
  for (const std::string& line : analysis.traceLines) AddTrace(record, line);
  for (const std::string& line : analysis.serviceLogLines) svc.WriteServiceLog(line);
}

}  // namespace qx::capture
