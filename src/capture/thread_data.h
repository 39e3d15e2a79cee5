// The record of one client connection, in either mode: who the client is (from its connect
// descriptor), whether it is monitored, the statement being stored with its server time, the
// executions waiting to be written, the trace that goes to the service's connection log when the
// connection ends, and the monitor that fills it from the connection's bytes (monitor.h).
//
// Ownership: a relayed connection's record sits in its relay connection's data slot, a captured
// connection's record in its service's passive-connection list. The record owns traceLines,
// historyQueue and monitor; `relayThread` and `service` are references it does not own.
//
// Threading: one thread owns a record — the relay thread of its connection, or the capture
// thread of its interface — and runs every operation below on it without locking. The one
// exception is the status listing, which reads the identity fields from the service thread
// while the owner may be writing them. Those fields (`established`, `logonTime`, `sessionId`,
// `serviceName`, `sid`, `program`, `host`, `ip`, `username`, `orauser`, `service`) are guarded
// by `identityMutex`: the owner takes it to write them once the record is visible to other
// threads (ApplyConnectIdentity in connect_descriptor.h does), and a foreign reader takes it to
// read them. The owner may read its own record without the lock. Releasing a record must be
// serialised with the status listing by the list that holds it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/passive_key.h"
#include "sql/history_data.h"
#include "sql/history_writer.h"

namespace qx::service {
struct TServiceData;
}

namespace qx::capture {

class TRelayConnection;
class ConnectionMonitor;
class TcpStreamReassembler;

struct TThreadData {
  TThreadData();
  ~TThreadData();
  TThreadData(const TThreadData&) = delete;
  TThreadData& operator=(const TThreadData&) = delete;

  int32_t connectionNo = 0;
  // The trace; null once the connection has been released (AddTrace then does nothing).
  std::unique_ptr<std::vector<std::string>> traceLines;
  // Where the trace goes once its connection number is final (null until then): AddTrace
  // writes the lines out whenever they exceed kTraceBufferBytes, so a long connection's trace
  // does not pile up in memory. traceBytes: the size of traceLines.
  service::TServiceData* traceSink = nullptr;
  size_t traceBytes = 0;
  std::string sqlText;        // current statement, as extracted
  double sqlStart = 0;        // local date-time sqlText became current
  double lastActivity = 0;    // local date-time of the latest client chunk
  bool excluded = false;      // not monitored: its data is ignored
  TRelayConnection* relayThread = nullptr;  // null in passive mode
  // Executions waiting to be written; null once the history has been closed.
  std::unique_ptr<std::vector<sql::TSQLHistData>> historyQueue;
  service::TServiceData* service = nullptr;
  bool established = false;   // the connect descriptor was decoded (whatever the decision)
  bool debug = false;         // the service's connection log was open at creation
  double logonTime = 0;       // local date-time the descriptor was decoded
  double sessionId = 0;       // from qx_session_id_seq; 0 while none could be reserved
  // With sessionId 0: the placeholder the history writer resolves to the connection's number
  // (session_numbers.h). 0 when sessionId is set.
  uint64_t sessionKey = 0;
  // The connection's spool stream (history_writer.h) and the number of its latest row.
  uint64_t streamKey = 0;
  uint64_t streamSeq = 0;
  // Where each execution's spool entry is built (one row, its storage reused).
  std::vector<sql::HistoryRow> journalRow;
  std::string serviceName;    // identity from the descriptor, upper case
  std::string sid;
  std::string program;
  std::string host;
  std::string ip;             // dotted decimal; empty until known
  std::string username;       // the client's operating-system user
  std::string orauser;        // Oracle user from the authentication data
  std::string clientIp;       // passive mode: key of the record
  double clientPort = 0;      // passive mode: second key
  PassiveKey passiveKey;      // passive mode: the same two in binary, the record's index key
  int32_t elapsedTime = 0;    // server milliseconds of the statement being stored
  // The outcome of the execution being stored, from the server's return status; empty when
  // the answer did not tell.
  std::optional<double> rowsProcessed;
  std::optional<int> errorCode;
  // sqlText was found by the keyword search: the keyword-scan rules of IsIgnoredStatement
  // apply when it is stored. Decoded texts are stored whatever their first word.
  bool keywordRules = true;
  // Statements the connection ran (of at most kKnownStatementBytes) with their hash text and
  // catalogue id (0 while the id is not known), so that a statement run again is neither hashed
  // nor looked up in the shared cache. The first kKnownStatements entries hold the latest
  // distinct statements, each new one replacing the oldest; one run again from there moves to
  // the other kKnownStatements entries (the oldest of those moving back in its place), where
  // statements run only once, however many, cannot push it out. Made with the first statement
  // stored; owned.
  struct KnownStatement {
    std::string text, hash;
    double sqlId = 0;
  };
  static constexpr size_t kKnownStatements = 8;
  static constexpr size_t kKnownStatementBytes = 4096;  // longer texts are not kept
  std::unique_ptr<std::array<KnownStatement, 2 * kKnownStatements>> knownStatements;
  size_t knownNext = 0;         // the latest ones' entry replaced next
  size_t knownRepeatedNext = 0;  // the repeated ones' entry replaced next
  // Turns the connection's bytes into this record's contents (monitor.h); owned.
  std::unique_ptr<ConnectionMonitor> monitor;
  // Passive mode: the captured segments of each direction put in order (client to server,
  // server to client); owned.
  std::unique_ptr<TcpStreamReassembler> toServer, toClient;

  // Guards the identity fields against the status listing (see the file comment).
  mutable std::mutex identityMutex;
};

constexpr size_t kTraceBufferBytes = 64 * 1024;

// Appends "Connection# " + connectionNo + ": " + message while the trace exists.
void AddTrace(TThreadData& record, std::string_view message);
// Writes the trace's lines to the service's connection log (when open) and empties the list.
void WriteTraceOut(service::TServiceData& service, TThreadData& record);

// The bytes as unsigned decimal numbers separated by one blank: {65, 66, 1} gives "65 66 1".
std::string DumpBytes(std::string_view text);

}  // namespace qx::capture
