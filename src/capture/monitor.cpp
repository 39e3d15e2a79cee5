// The connection monitor (monitor.h).
#include "capture/monitor.h"

#include <chrono>
#include <exception>

#include "capture/connect_descriptor.h"
#include "capture/connection.h"
#include "capture/relay.h"
#include "platform/datetime.h"
#include "service/service.h"
#include "sql/byte_text.h"
#include "sql/sql_store.h"
#include "sql/statement_extract.h"

namespace qx::capture {

using oranet::Direction;
using oranet::Event;
using oranet::EventKind;
using service::TQuorvexService;

namespace {

oranet::DecoderOptions OptionsFor(const TQuorvexService& svc) {
  oranet::DecoderOptions options;
  options.emitRequests = svc.keywordCapture;
  return options;
}

}  // namespace

int64_t MonitorNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

ConnectionMonitor::ConnectionMonitor(TQuorvexService& svc, TThreadData& record,
                                     MonitorMode mode)
    : svc_(svc),
      record_(record),
      mode_(mode),
      keywordMode_(svc.keywordCapture),
      decoder_(*this, OptionsFor(svc)) {
  Count(Health::kConnections);
}

void ConnectionMonitor::Count(Health what, uint64_t n) {
  if (record_.service) record_.service->health.Add(what, n);
}

ConnectionMonitor::~ConnectionMonitor() = default;

void ConnectionMonitor::ToServer(std::string_view bytes, int64_t ms) {
  StoreCompleted();
  if (bytes.empty() || record_.excluded) return;
  now_ = ms;
  record_.lastActivity = platform::NowDateTime();
  sawBytes_ = true;
  decoder_.Feed(Direction::kToServer, bytes);
}

void ConnectionMonitor::ToClient(std::string_view bytes, int64_t ms) {
  StoreCompleted();
  if (bytes.empty() || record_.excluded) return;
  now_ = ms;
  decoder_.Feed(Direction::kToClient, bytes);
}

void ConnectionMonitor::Gap(Direction direction) {
  StoreCompleted();
  if (record_.excluded) return;
  Count(Health::kGaps);
  decoder_.OnGap(direction);
}

void ConnectionMonitor::OnDescriptor(std::string_view text) {
  if (record_.established) return;  // a CONNECT sent again after RESEND
  // Keywords are matched in upper case whatever the client wrote (PROTOCOL=tcp from some
  // thin clients); the identity is kept in upper case as it always was.
  const std::string upper = sql::UpperCase(text);
  if (mode_ == MonitorMode::kPassive) {
    service::TServiceData* service = record_.service;
    if (svc_.debugConnections && service) {
      svc_.WriteServiceLog("Service :: " + service->name + " New client connection from IP " +
                           record_.clientIp + " port " +
                           std::to_string(static_cast<long long>(record_.clientPort)) +
                           " detected.");
    }
  }
  AnalyzeConnectData(svc_, record_, upper);
  if (record_.ip.empty()) {
    // The descriptor's host name did not resolve. The peer's address is known anyway, so the
    // connection stays monitored under it; only one whose address is unknown both ways is not.
    svc_.WriteServiceLog("Unable to determine ip address for host " + record_.host);
    std::lock_guard<std::mutex> lock(record_.identityMutex);
    record_.ip = record_.relayThread ? record_.relayThread->peer_ip : record_.clientIp;
    if (record_.ip.empty()) record_.excluded = true;
  }
  {
    std::lock_guard<std::mutex> lock(record_.identityMutex);
    record_.established = true;
  }
  if (record_.excluded) Count(Health::kExcluded);
  if (svc_.debugConnections) {
    const std::string prefix =
        mode_ == MonitorMode::kPassive && record_.service
            ? "Service :: " + record_.service->name + " "
            : std::string();
    svc_.WriteServiceLog(prefix + (record_.excluded ? "Disabling" : "Enabling") +
                         " monitoring of new connection from host " + record_.host);
  }
}

void ConnectionMonitor::OnLogonResult(const Event& event) {
  if (!record_.established || record_.excluded) return;
  std::string line = (event.success ? "Logon of user " : "Failed logon of user ") + logonUser_;
  if (!event.success) line += " (ORA-" + std::to_string(event.errorCode) + ")";
  line += " from host " + record_.host + " (" + record_.ip + "), program " + record_.program +
          ", OS user " + record_.username + ", service " + record_.serviceName;
  if (event.success) {
    if (!logonUser_.empty() && record_.orauser != logonUser_) SetOraUser(record_, logonUser_);
  } else {
    Count(Health::kLogonsFailed);
  }
  AddTrace(record_, line);
}

void ConnectionMonitor::BeginExecution(std::string_view text, bool skip, bool keywordRules) {
  pending_ = true;
  // Into the buffer the statement before last left (see EndExecution): a connection that runs
  // statements of similar lengths allocates nothing here.
  pendingText_.assign(text.data(), text.size());
  pendingSkip_ = skip;
  pendingKeywordRules_ = keywordRules;
  pendingDate_ = platform::NowDateTime();
  pendingMs_ = now_;
}

void ConnectionMonitor::EndExecution(int64_t ms, const Event* outcome) {
  if (!pending_) return;
  pending_ = false;
  StoreCompleted();  // the one before it, completed by the same bytes
  if (pendingSkip_ || record_.excluded || !record_.established) return;
  // ms < 0: the answer never came and nothing tells how long the server worked.
  const int64_t elapsed = ms > pendingMs_ ? ms - pendingMs_ : 0;
  record_.sqlText.swap(pendingText_);
  record_.sqlStart = pendingDate_;
  record_.keywordRules = pendingKeywordRules_;
  record_.rowsProcessed.reset();
  record_.errorCode.reset();
  if (outcome && outcome->outcomeKnown) {
    record_.errorCode = outcome->errorCode;
    if (outcome->rowsKnown) record_.rowsProcessed = static_cast<double>(outcome->rows);
  }
  record_.elapsedTime = elapsed > INT32_MAX ? INT32_MAX : static_cast<int32_t>(elapsed);
  completed_ = true;
  // Relayed: stored once the bytes that completed it have been forwarded.
  if (mode_ != MonitorMode::kActive) StoreCompleted();
}

void ConnectionMonitor::StoreCompleted() {
  if (!completed_) return;
  completed_ = false;
  const size_t queued = record_.historyQueue ? record_.historyQueue->size() : 0;
  sql::SaveSQL(svc_, record_, record_.elapsedTime);
  if (record_.historyQueue && record_.historyQueue->size() > queued) Count(Health::kExecutions);
  if (record_.historyQueue &&
      static_cast<int64_t>(record_.historyQueue->size()) >= svc_.sqlHistCacheCount) {
    sql::InsertSQLHistory(svc_, record_, false);
  }
}

void ConnectionMonitor::KeywordRequest(std::string_view payload, bool fallback) {
  // Active mode's keyword search has always looked at the upper-cased request; passive mode
  // at the bytes as captured. A request the decoder could not read is searched as captured.
  const bool upper = !fallback && mode_ == MonitorMode::kActive;
  sql::ExtractedStatement extracted =
      upper ? sql::ExtractStatement(sql::UpperCase(payload), svc_.sqlKeywords)
            : sql::ExtractStatement(payload, svc_.sqlKeywords);
  if (fallback) {
    ++fallbackStatements_;
    Count(Health::kFallbacks);
  }
  if (extracted.statement.empty()) return;
  EndExecution(now_, nullptr);
  BeginExecution(extracted.statement, extracted.skip, true);
}

void ConnectionMonitor::OnEvent(const Event& event) {
  switch (event.kind) {
    case EventKind::kConnectDescriptor:
      OnDescriptor(event.text);
      return;
    case EventKind::kLogonUser:
      // The user of the latest logon: a client that failed once may log on as another.
      if (!event.text.empty()) {
        logonUser_ = sql::UpperCase(event.text);
        if (record_.orauser.empty()) SetOraUser(record_, logonUser_);
      }
      return;
    case EventKind::kLogonResult:
      OnLogonResult(event);
      return;
    case EventKind::kExecution: {
      if (keywordMode_ || !record_.established || record_.excluded) return;
      EndExecution(now_, nullptr);  // an answer the decoder did not see end
      if (event.unknownCursor) {
        ++unknownCursors_;
        Count(Health::kUnknownCursors);
        return;
      }
      const std::string_view text = sql::Trim(event.text);
      if (text.empty()) return;
      BeginExecution(text, sql::IsNeverStoredStatement(text), false);
      return;
    }
    case EventKind::kRequest:
      if (keywordMode_ && record_.established && !record_.excluded) {
        KeywordRequest(event.text, false);
      }
      return;
    case EventKind::kFallback:
      if (!keywordMode_ && record_.established && !record_.excluded) {
        KeywordRequest(event.text, true);
      }
      return;
    case EventKind::kCallEnd:
      EndExecution(now_, &event);
      return;
    case EventKind::kEndOfSession:
      sessionEnded_ = true;
      return;
    default:
      return;
  }
}

void ConnectionMonitor::Complete(int64_t ms) {
  StoreCompleted();
  decoder_.Finish();
  EndExecution(ms, nullptr);
  StoreCompleted();
}

void CloseMonitoredConnection(TQuorvexService& svc, TThreadData& record, CloseReason reason,
                              int64_t ms) {
  const std::string n = std::to_string(record.connectionNo);
  try {
    if (reason == CloseReason::kReset) {
      svc.WriteErrorLog("Disconnect exception from host " + record.host + ". Connection closed.");
    }
    if (record.monitor) record.monitor->Complete(ms);
    sql::InsertSQLHistory(svc, record, false);
    if (reason == CloseReason::kDisconnect && svc.debugConnections) {
      const std::string line = "Connection # " + n + " disconnected for host " + record.host;
      AddTrace(record, line);
      svc.WriteServiceLog(line);
    }
    if (reason == CloseReason::kStop) {
      const std::string line = "Connection disconnected for host " + record.host;
      AddTrace(record, line);
      svc.WriteServiceLog(line);
    }
    if (record.monitor && record.monitor->UnknownCursors() > 0) {
      const std::string line =
          "Connection # " + n + " " + std::to_string(record.monitor->UnknownCursors()) +
          " execution(s) of cursors parsed before the connection was joined were not recorded";
      AddTrace(record, line);
      svc.WriteServiceLog(line);
    }
    if (record.monitor && record.monitor->Fallbacks() > 0) {
      const std::string line = "Connection # " + n +
                               " statement decoding fell back to keyword search for " +
                               std::to_string(record.monitor->Fallbacks()) + " request(s)";
      AddTrace(record, line);
      svc.WriteServiceLog(line);
    }
    FlushTrace(svc, record);
    sql::CloseSQLHistory(svc, record);
  } catch (const std::exception& e) {
    const std::string what = " error received while disconnecting for host " + record.host +
                             ": " + e.what();
    switch (reason) {
      case CloseReason::kDisconnect:
        svc.ReportError("tcpMainDisconnect Connection # " + n + what);
        break;
      case CloseReason::kReset:
        svc.ReportError("tcpMainException Connection # " + n + what);
        break;
      case CloseReason::kTimeout:
        svc.ReportError("Timeout Connection # " + n + what);
        break;
      case CloseReason::kEndOfSession:
      case CloseReason::kStop:
        svc.ReportError("Connection # " + n + what);
        break;
    }
  }
}

}  // namespace qx::capture
