// What the relay does with each event of a connection.
#include "capture/relay_handlers.h"

#include "capture/connect_descriptor.h"
#include "capture/connection.h"
#include "capture/monitor.h"
#include "platform/datetime.h"
#include "sql/byte_text.h"
#include "sql/sql_store.h"
#include "sql/statement_extract.h"

namespace qx::capture {

using service::TQuorvexService;

void tcpMainConnect(TQuorvexService& svc, TRelayConnection& connection,
                    service::TServiceData* service) {
  CreateConnection(svc, connection, service);
  TThreadData& record = *connection.data;
  record.monitor = std::make_unique<ConnectionMonitor>(svc, record, MonitorMode::kActive);
}

void tcpMainExecute(TQuorvexService& svc, TRelayConnection& connection) {
  TThreadData* record = connection.data.get();
  if (!record || record->excluded || connection.chunk.empty() || !record->monitor) return;
  if (record->debug) {
    AddTrace(*record, "---------------- To Server Raw Data -----------------");
    AddTrace(*record, connection.chunk);
    AddTrace(*record, "---------------- To Server Raw Data -----------------");
    AddTrace(*record, "---------------- To Server Code Data -----------------");
    AddTrace(*record, DumpBytes(connection.chunk));
    AddTrace(*record, "---------------- To Server Code Data -----------------");
  }
  record->monitor->ToServer(connection.chunk, MonitorNowMs());
  connection.afterForward = record->monitor->HasCompleted();
  (void)svc;
}

void tcpMainOutboundData(TQuorvexService& /*svc*/, TRelayConnection& connection) {
  TThreadData* record = connection.data.get();
  if (record && !record->excluded && record->monitor) {
    record->monitor->ToClient(connection.chunk, MonitorNowMs());
    connection.afterForward = record->monitor->HasCompleted();
  }
}

void tcpMainForwarded(TQuorvexService& /*svc*/, TRelayConnection& connection) {
  TThreadData* record = connection.data.get();
  if (record && record->monitor) record->monitor->StoreCompleted();
}

namespace {
// The end of a connection, by an orderly close or a reset: one that never carried its connect
// descriptor is logged as not successful, whichever way it ended.
void EndConnection(TQuorvexService& svc, TRelayConnection& connection, CloseReason reason) {
  TThreadData* record = connection.data.get();
  if (!record) return;
  if (!record->established) {
    svc.WriteServiceLog("Connection was not successful.");
    ReleaseConnection(svc, connection);
    return;
  }
  CloseMonitoredConnection(svc, *record, reason, MonitorNowMs());
  ReleaseConnection(svc, connection);
}
}  // namespace

void tcpMainDisconnect(TQuorvexService& svc, TRelayConnection& connection) {
  EndConnection(svc, connection, CloseReason::kDisconnect);
}

void tcpMainException(TQuorvexService& svc, TRelayConnection& connection,
                      const std::string& message) {
  TThreadData* record = connection.data.get();
  if (!record) return;
  if (message.find("10054") == std::string::npos) {
    svc.WriteErrorLog("Connection exception from host " + record->host + " encountered: " +
                      message);
    return;
  }
  EndConnection(svc, connection, CloseReason::kReset);
}

void AttachRelayHandlers(TQuorvexService& svc, TRelayListener& listener,
                         service::TServiceData* service) {
  TQuorvexService* s = &svc;
  listener.OnConnect = [s, service](TRelayConnection& c) { tcpMainConnect(*s, c, service); };
  listener.OnDisconnect = [s](TRelayConnection& c) { tcpMainDisconnect(*s, c); };
  listener.OnException = [s](TRelayConnection& c, const std::string& m) {
    tcpMainException(*s, c, m);
  };
  listener.OnExecute = [s](TRelayConnection& c) { tcpMainExecute(*s, c); };
  listener.OnOutboundData = [s](TRelayConnection& c) { tcpMainOutboundData(*s, c); };
  listener.OnForwarded = [s](TRelayConnection& c) { tcpMainForwarded(*s, c); };
}

}  // namespace qx::capture
