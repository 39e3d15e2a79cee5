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

void tcpMainConnect(TQuorvexService& svc, TRelayConnection& connection) {
  CreateConnection(svc, connection);
  TThreadData& record = *connection.data;
  record.monitor = std::make_unique<ConnectionMonitor>(svc, record, MonitorMode::kActive);
}

void ProcessClientChunk(TQuorvexService& svc, TThreadData& record, const std::string& text) {
  if (record.orauser.empty() && text.find("AUTH_TERMINAL") != std::string::npos) {
    std::string user = ExtractOraUser(text);
    std::lock_guard<std::mutex> lock(record.identityMutex);
    record.orauser = std::move(user);
  }
  const int32_t t = CurrentTick();
  record.requestTick = t;
  record.lastActivity = platform::NowDateTime();
  record.requestCount += 1;

  sql::ExtractedStatement extracted = sql::ExtractStatement(text, svc.sqlKeywords);
  if (extracted.statement.empty()) return;

  EndStatementTime(record);
  if (!record.sqlSkip) sql::SaveSQL(svc, record, record.elapsedTime);
  record.sqlSkip = extracted.skip;
  if (record.historyQueue &&
      static_cast<int64_t>(record.historyQueue->size()) >= svc.sqlHistCacheCount) {
    sql::InsertSQLHistory(svc, record, false);
  }
  record.sqlStart = platform::NowDateTime();
  record.sqlText = std::move(extracted.statement);
  record.requestTick = t;
  record.responseTick = t;
  record.responseCount = 0;
  record.requestCount = 1;
  record.elapsedTime = 0;
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
  (void)svc;
}

void tcpMainOutboundData(TQuorvexService& /*svc*/, TRelayConnection& connection) {
  TThreadData* record = connection.data.get();
  if (record && !record->excluded && record->monitor) {
    record->monitor->ToClient(connection.chunk, MonitorNowMs());
  }
}

void tcpMainDisconnect(TQuorvexService& svc, TRelayConnection& connection) {
  TThreadData* record = connection.data.get();
  if (!record) return;
  if (!record->established) {
    svc.WriteServiceLog("Connection was not successful.");
    ReleaseConnection(svc, connection);
    return;
  }
  CloseMonitoredConnection(svc, *record, CloseReason::kDisconnect, MonitorNowMs());
  ReleaseConnection(svc, connection);
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
  CloseMonitoredConnection(svc, *record, CloseReason::kReset, MonitorNowMs());
  ReleaseConnection(svc, connection);
}

void AttachRelayHandlers(TQuorvexService& svc, TRelayListener& listener) {
  TQuorvexService* s = &svc;
  listener.OnConnect = [s](TRelayConnection& c) { tcpMainConnect(*s, c); };
  listener.OnDisconnect = [s](TRelayConnection& c) { tcpMainDisconnect(*s, c); };
  listener.OnException = [s](TRelayConnection& c, const std::string& m) {
    tcpMainException(*s, c, m);
  };
  listener.OnExecute = [s](TRelayConnection& c) { tcpMainExecute(*s, c); };
  listener.OnOutboundData = [s](TRelayConnection& c) { tcpMainOutboundData(*s, c); };
}

}  // namespace qx::capture
