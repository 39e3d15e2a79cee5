// The one service object: the state every subsystem shares, and the three moments of its
// life — creation, start-up and teardown.
//
// Threading and ownership (the service takes these locks so that its users need none):
// - `services` is filled by start-up before any listener or capture starts and is then
//   read-only until teardown, which stops every thread that reads it before changing it.
// - `nextConnectionNo` is taken with TakeConnectionNo() (atomic).
// - `session` serialises itself (repository.h); the logs serialise themselves (logs.h).
// - Configuration values are written once during start-up, before any listener starts, and
//   only read afterwards.
// - ServiceCreate/ServiceDestroy run on the main thread, ServiceStart and everything
//   registered on `loop` on the service thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/platform.h"
#include "repository/repository.h"
#include "service/logs.h"
#include "service/service_data.h"
#include "sql/history_writer.h"
#include "sql/session_numbers.h"
#include "sql/sql_hash.h"

namespace qx::sniffer {
class TSniffer;
}

namespace qx::capture {
class TRelayConnection;
}

namespace qx::service {

// Name under which the service is registered and logs to the system log.
inline constexpr const char* kServiceName = "QuorvexService";

class Heartbeat;

class TQuorvexService {
 public:
  TQuorvexService();
  ~TQuorvexService();
  TQuorvexService(const TQuorvexService&) = delete;
  TQuorvexService& operator=(const TQuorvexService&) = delete;

  // Creation: the unconnected session holder, the lists, the keyword list.
  void ServiceCreate();
  // Start-up on the service thread. Returns the framework's "Started" flag; an error that
  // escapes (a log cannot be created, the connect string has neither form, a repository error
  // after connecting) is thrown to the caller, which reports it and treats the start as failed.
  bool ServiceStart();
  // Teardown on the main thread after the service thread has ended.
  void ServiceDestroy();

  // service log, then error log
  void ReportError(const std::string& message);
  void WriteServiceLog(const std::string& message) { serviceLog.WriteStamped(message); }
  // The error log; also standard error while echoStartupErrors is set.
  void WriteErrorLog(const std::string& message);

  int32_t TakeConnectionNo() { return nextConnectionNo.fetch_add(1); }

  // --- fields ---
  // Relay connections that hold a record. Changed by connection threads, read by status
  // requests and teardown: all hold relayMu. A connection's record is set before it is listed
  // and released only after it has left the list, so status requests, which hold relayMu while
  // they walk the list, read listed records (their identity fields, under identityMutex)
  // without the connection's own lock; teardown uses that lock (relay.h).
  std::mutex relayMu;
  std::vector<std::shared_ptr<capture::TRelayConnection>> relayThreads;
  std::vector<std::unique_ptr<TServiceData>> services;
  // Sniffer1..Sniffer14, the capture components passive services bind to their interfaces,
  // and snifIPInt, which only lists interfaces. Created by ServiceCreate; configured on the
  // service thread during start-up and stopped on the main thread at teardown, never both at
  // once (teardown runs after the service thread has ended).
  std::vector<std::unique_ptr<sniffer::TSniffer>> snifferPool;
  std::unique_ptr<sniffer::TSniffer> snifIPInt;
  // Capture files to read instead of the interfaces (the REPLAY command), in order. Set before
  // ServiceStart and read-only afterwards; empty for live capture.
  std::vector<std::string> captureFiles;
  // With captureFiles: the interface each pool sniffer was bound to, parallel to snifferPool
  // (none = free), since file-fed sniffers select no device.
  std::vector<std::optional<std::string>> replayBindings;
  std::vector<std::string> sqlKeywords;
  bool logsOpened = false;
  // Set by the host for the start-up of a foreground run, so that each start-up error also
  // reaches the terminal (or the service manager's journal); any thread may read it.
  std::atomic<bool> echoStartupErrors{false};
  bool repositoryInstalled = false;  // the installation check passed
  // qx_client_sql_history has rows_processed and error_code (found once at start, read-only
  // afterwards): history rows carry their outcome.
  bool historyOutcomeColumns = false;
  // qx_client_sql has fingerprint_hash and fingerprint (likewise): new statements get theirs.
  bool fingerprintColumns = false;
  bool debugConnections = false;
  // StatementCapture=keyword: statement texts are found by keyword search in each client
  // request (as older installations stored them) instead of being decoded.
  bool keywordCapture = false;
  TextLog errorLog;
  TextLog serviceLog;
  std::string repositoryConnectString;
  std::unique_ptr<repository::Session> session;
  std::atomic<int32_t> nextConnectionNo{0};
  // The statement cache, created at start-up with its capacity; it locks itself.
  std::unique_ptr<sql::TSQLCache> sqlCache;
  // Writes execution history off the connections' threads; absent when rows are written in
  // place (tests that drive the pipeline directly). Created after the session connects,
  // destroyed (after writing what it holds) before the session disconnects.
  std::unique_ptr<sql::HistoryWriter> historyWriter;
  // Session numbers reserved ahead of time (created after the session connects, destroyed
  // before it disconnects); absent in tests that drive the pipeline directly.
  std::unique_ptr<sql::SessionNumbers> sessionNumbers;
  // A private in-memory database (dual, sysdate, to_char) on which the filters' date
  // conditions are evaluated, so that deciding a connection or a statement never waits for
  // the repository. Absent: conditions go to the repository session.
  std::unique_ptr<repository::Session> conditionSession;
  // Serialises the look-up-then-insert of a statement the cache does not know (SaveSQL).
  std::mutex catalogueMu;
  int32_t deadConnectionTimeout = 1440;
  // RelayStallTimeout: seconds a relayed connection one of whose sides has gone may wait for
  // the other (0: no limit).
  int32_t relayStallTimeout = 300;
  // ManageIdleTimeout (seconds, 0: none) and ManageMaxClients (per service) of the managing port.
  int32_t manageIdleTimeout = 60;
  int32_t manageMaxClients = 64;
  int32_t sqlHistCacheCount = 100;
  int32_t sqlCacheCount = 500;
  std::string monitorServices;  // MonitorServices as read
  std::string spoolPath;        // SpoolPath as read ("" : "spool" beside the executable)
  int32_t spoolLimitMB = 1024;

  // The service thread's event loop (status timers, managing listeners).
  std::unique_ptr<platform::EventLoop> loop;
  // Where the executable lives; computed once at start-up (tests may set it first).
  std::string programDirectory;

  // Writes the services' status rows on a thread of its own (heartbeat.h).
  std::unique_ptr<Heartbeat> heartbeat;

 private:
  bool StartSteps();
  // The condition session, the session-number reserve, the history writer and the
  // heartbeat, once the session is connected.
  void StartBackgroundWork();
  // Raised at the start of StartSteps, logged once the listeners run.
  platform::DescriptorLimit descriptorLimit_;
  std::string descriptorLimitError_;
};

}  // namespace qx::service
