// What the relay does with each event of a connection.
#include "capture/relay_handlers.h"

#include "capture/connect_descriptor.h"
#include "capture/connection.h"
#include "platform/datetime.h"
#include "sql/byte_text.h"
#include "sql/sql_store.h"
#include "sql/statement_extract.h"

namespace qx::capture {

using service::TQuorvexService;

void tcpMainConnect(TQuorvexService& svc, TRelayConnection& connection) {
  CreateConnection(svc, connection);
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
  if (!record || record->excluded || connection.chunk.empty()) return;
  const std::string upper = sql::UpperCase(connection.chunk);
  if (record->debug) {
    AddTrace(*record, "---------------- To Server Raw Data -----------------");
    AddTrace(*record, upper);
    AddTrace(*record, "---------------- To Server Raw Data -----------------");
    AddTrace(*record, "---------------- To Server Code Data -----------------");
    AddTrace(*record, DumpBytes(upper));
    AddTrace(*record, "---------------- To Server Code Data -----------------");
  }
  if (!record->established && IsConnectDescriptor(upper)) {
    AnalyzeConnectData(svc, *record, upper);
    if (record->ip.empty()) {
      // The descriptor's host name did not resolve. The relay knows the client's address
      // anyway, so the connection stays monitored under it; only a connection whose address
      // is unknown both ways is excluded.
      svc.WriteServiceLog("Unable to determine ip address for host " + record->host);
      std::lock_guard<std::mutex> lock(record->identityMutex);
      record->ip = connection.peer_ip;
      if (record->ip.empty()) record->excluded = true;
    }
    {
      std::lock_guard<std::mutex> lock(record->identityMutex);
      record->established = true;
    }
    if (svc.debugConnections) {
      svc.WriteServiceLog(std::string(record->excluded ? "Disabling" : "Enabling") +
                          " monitoring of new connection from host " + record->host);
    }
  }
  if (!record->excluded && record->established) ProcessClientChunk(svc, *record, upper);
}

void tcpMainOutboundData(TQuorvexService& /*svc*/, TRelayConnection& connection) {
  TThreadData* record = connection.data.get();
  if (record && !record->excluded) CountResponse(*record);
}

void tcpMainDisconnect(TQuorvexService& svc, TRelayConnection& connection) {
  TThreadData* record = connection.data.get();
  if (!record) return;
  if (!record->established) {
    svc.WriteServiceLog("Connection was not successful.");
    ReleaseConnection(svc, connection);
    return;
  }
  const std::string n = std::to_string(record->connectionNo);
  try {
    if (!record->sqlSkip) sql::SaveSQL(svc, *record, 0);
    sql::InsertSQLHistory(svc, *record, true);
    if (svc.debugConnections) {
      const std::string line = "Connection # " + n + " disconnected for host " + record->host;
      AddTrace(*record, line);
      svc.WriteServiceLog(line);
    }
    FlushTrace(svc, *record);
    sql::CloseSQLHistory(svc, *record);
  } catch (const std::exception& e) {
    svc.ReportError("tcpMainDisconnect Connection # " + n +
                    " error received while disconnecting for host " + record->host + ": " +
                    e.what());
  }
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
  svc.WriteErrorLog("Disconnect exception from host " + record->host + ". Connection closed.");
  try {
    if (!record->sqlSkip) sql::SaveSQL(svc, *record, 0);
    sql::InsertSQLHistory(svc, *record, true);
    FlushTrace(svc, *record);
    if (record->established) sql::CloseSQLHistory(svc, *record);
  } catch (const std::exception& e) {
    svc.ReportError("tcpMainException Connection # " + std::to_string(record->connectionNo) +
                    " error received while disconnecting for host " + record->host + ": " +
                    e.what());
  }
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
