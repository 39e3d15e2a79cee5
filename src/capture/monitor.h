// The connection monitor: the one place where a client connection's bytes, in either mode,
// become a record of what the client ran. The relay hands it the chunks it forwards (it only
// reads them); passive mode hands it the reassembled TCP streams of a captured connection.
// It owns the Oracle Net decoder of the connection and turns its events into the record's
// identity (connect descriptor, service filters, Oracle user), the executions with their
// server time and outcome, and the one close sequence that stores what is pending and writes
// the history and the trace.
//
// Statement texts come from the decoder (StatementCapture=decode, the default): exactly what
// the client sent. With StatementCapture=keyword they come from the keyword search over each
// client request, as older installations stored them (upper-cased in active mode).
//
// Threading: a monitor belongs to its record (TThreadData::monitor) and runs on the thread
// that owns the record (thread_data.h): a relay connection's thread, or the capture thread.
// Times passed in are milliseconds of one monotonic clock per connection (the relay's tick, or
// the capture's frame time stamps).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "capture/capture_health.h"
#include "capture/thread_data.h"
#include "oranet/decoder.h"

namespace qx::service {
class TQuorvexService;
}

namespace qx::capture {

enum class MonitorMode { kActive, kPassive };

// Why a connection's record is closed; the reason chooses the lines logged around it.
enum class CloseReason {
  kEndOfSession,  // the end-of-file data packet, or FIN / RST seen by the capture
  kDisconnect,    // active: the relay's sockets closed
  kReset,         // active: a connection reset (socket error 10053/10054)
  kTimeout,       // passive: the client was silent for the dead-connection timeout
  kStop,          // teardown of the service
};

class ConnectionMonitor final : public oranet::EventSink {
 public:
  ConnectionMonitor(service::TQuorvexService& svc, TThreadData& record, MonitorMode mode);
  ~ConnectionMonitor() override;
  ConnectionMonitor(const ConnectionMonitor&) = delete;
  ConnectionMonitor& operator=(const ConnectionMonitor&) = delete;

  // Bytes the client sent to the server, and the server to the client, at `ms`.
  void ToServer(std::string_view bytes, int64_t ms);
  void ToClient(std::string_view bytes, int64_t ms);
  // Bytes of one direction were lost (passive reassembly gap).
  void Gap(oranet::Direction direction);

  // The session ended on the wire (its end-of-file data packet was seen).
  bool SessionEnded() const { return sessionEnded_; }

  // Stores the execution still waiting for its answer (timed up to `ms`; with ms < 0 its time
  // is unknown and stored as 0); the record stays usable for the rest of the close sequence.
  void Complete(int64_t ms);

  // Active mode: an execution completed by the bytes just fed is stored once the relay has
  // forwarded them (StoreCompleted), so that its storing does not delay the answer on its way
  // to the client. Anything fed afterwards stores it first, so the order of the record's work
  // is unchanged.
  bool HasCompleted() const { return completed_; }
  void StoreCompleted();

  const oranet::Stats& DecoderStats() const { return decoder_.stats(); }
  uint64_t Fallbacks() const { return fallbackStatements_; }
  uint64_t UnknownCursors() const { return unknownCursors_; }
  // Bytes of the connection were seen (it may have been joined after its start).
  bool SawBytes() const { return sawBytes_; }

 private:
  void OnEvent(const oranet::Event& event) override;
  void OnDescriptor(std::string_view text);
  void OnLogonResult(const oranet::Event& event);
  void Count(Health what, uint64_t n = 1);
  void BeginExecution(std::string_view text, bool skip, bool keywordRules);
  void EndExecution(int64_t ms, const oranet::Event* outcome);
  void KeywordRequest(std::string_view payload, bool fallback);

  service::TQuorvexService& svc_;
  TThreadData& record_;
  const MonitorMode mode_;
  const bool keywordMode_;
  oranet::SessionDecoder decoder_;
  int64_t now_ = 0;  // time of the bytes being fed

  // The execution whose answer is awaited.
  bool pending_ = false;
  std::string pendingText_;
  bool pendingSkip_ = false;
  bool pendingKeywordRules_ = false;
  double pendingDate_ = 0;
  int64_t pendingMs_ = 0;

  // An execution whose answer has ended, its time and outcome in the record, not yet stored.
  bool completed_ = false;
  bool sessionEnded_ = false;
  uint64_t fallbackStatements_ = 0;
  uint64_t unknownCursors_ = 0;
  std::string logonUser_;
  bool sawBytes_ = false;
};

// The current time for a relayed connection's monitor, in ms.
int64_t MonitorNowMs();

// The one close sequence of a record in either mode: the pending execution, the history, the
// trace, the lines the reason asks for. Errors are reported, never thrown. The record is not
// released here (its list owner does that).
void CloseMonitoredConnection(service::TQuorvexService& svc, TThreadData& record,
                              CloseReason reason, int64_t ms);

}  // namespace qx::capture
