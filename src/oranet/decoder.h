// The Oracle Net decoder of one connection: the client-to-server and server-to-client byte
// streams go in, in the order they crossed the wire; what the client did comes out as events
// (its connect descriptor, its logon, each execution of a statement with the exact text the
// client sent, transaction control, logoff, the end of the session) and, for every request,
// the end of the server's answer with its outcome.
//
// Layers: TNS framing (tns_framer.h) cuts each stream into packets; the TTC layer
// (ttc_request.h, ttc_response.h) reads the messages of each request and answer. The session
// decoder below keeps what ties them together: the negotiated framing and integer widths, the
// cursor map (cursor id -> statement text), the request waiting for its answer.
//
// Pure code: no I/O, no clocks, no locks, no exceptions out of Feed(). Malformed input never
// crashes it: a framing error or a request it cannot read is counted in Stats, and the request's
// reassembled DATA payload is handed out as a kFallback event so that nothing is lost.
//
// Threading: one decoder per connection, used by one thread at a time (the connection's owner).
// Ownership: events are passed to the sink by reference; their string_views point into the
// decoder's buffers and are valid only during the OnEvent call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace qx::oranet {

enum class Direction : uint8_t { kToServer, kToClient };

// How a statement was run on the wire.
enum class CallKind : uint8_t {
  kNone,
  kOall8,      // 0x5E, with its text (a parse) or on a parsed cursor
  kOall7,      // 0x47
  kParse,      // 0x03 of older clients (parse only: not an execution)
  kExecute,    // 0x04: execute a parsed cursor (older OCI clients and thin clients)
  kReexecute,  // 0x4E: re-execute and fetch a parsed cursor
};

enum class EventKind : uint8_t {
  kConnectDescriptor,  // text: the descriptor, as sent (from the CONNECT or the DATA after it);
                       // once per distinct descriptor (a CONNECT resent after RESEND is not
                       // reported again; one cut short waits for a resend)
  kAccept,             // number: the accepted protocol version
  kRefuse,             // text: the refusal's data, e.g. "(ERR=12505)..."
  kRedirect,           // text: the redirect's data
  kLogonUser,          // text: the user name of authentication phase one, as sent
  kLogonResult,        // success, errorCode (e.g. 1017): the answer to the logon's last phase
                       // (or a refused phase one); once per logon attempt
  kExecution,          // a statement was executed: text, call, cursor (see below)
  kCommit,
  kRollback,
  kLogoff,
  kCallEnd,            // the end of the server's answer to the latest request (every request,
                       // negotiation included): errorCode, rows, cursor (the id a parse was
                       // given), success. Where the server marks no end (before 12c) an
                       // answer without a closing status or error ends at the next request.
  kEndOfSession,       // the end-of-file data packet (either side)
  kFallback,           // text: the reassembled DATA payload of a request the decoder could not
                       // read (data flags removed, packets of the request joined)
  kRequest,            // text: the reassembled DATA payload of every request, only when
                       // DecoderOptions::emitRequests is set (the keyword-search mode)
};

struct Event {
  EventKind kind{};
  Direction direction = Direction::kToServer;
  std::string_view text;       // see EventKind; empty where the kind has none
  CallKind call = CallKind::kNone;
  uint32_t cursor = 0;         // kExecution: the cursor run (0 when parsed in this call)
  // kExecution without text: true when the cursor map did not know the cursor (the connection
  // was joined after its parse); text is then empty and must not be guessed.
  bool unknownCursor = false;
  bool success = true;         // kLogonResult, kCallEnd
  int32_t errorCode = 0;       // kLogonResult, kCallEnd: ORA number, 0 on success (1403 at the
                               // end of a fetch counts as success and is reported as 0)
  uint64_t rows = 0;           // kCallEnd: rows processed, when rowsKnown
  bool rowsKnown = false;      // kCallEnd: the return status gave the rows processed
  bool outcomeKnown = false;   // kCallEnd: errorCode/rows were read from a return status
  uint32_t number = 0;         // kAccept: version
};

class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void OnEvent(const Event& event) = 0;
};

struct DecoderOptions {
  bool emitRequests = false;          // also emit kRequest for every request
  size_t maxPacketBytes = 2u << 20;   // a TNS packet larger than this is a framing error
  size_t maxRequestBytes = 16u << 20; // a request buffered beyond this is handed out as it is
};

struct Stats {
  uint64_t packets = 0;          // TNS packets framed, both directions
  uint64_t requests = 0;         // client requests completed
  uint64_t executions = 0;       // kExecution events
  uint64_t unknownCursors = 0;   // executions of cursors the map did not know
  uint64_t fallbacks = 0;        // requests handed out as kFallback
  uint64_t framingErrors = 0;    // resynchronisations after bytes that were not a TNS packet
  uint64_t gaps = 0;             // OnGap calls
};

class SessionDecoder {
 public:
  explicit SessionDecoder(EventSink& sink, DecoderOptions options = {});
  ~SessionDecoder();
  SessionDecoder(const SessionDecoder&) = delete;
  SessionDecoder& operator=(const SessionDecoder&) = delete;

  // Bytes of one direction, in order; any split (one byte at a time, several packets at once).
  // Events are delivered to the sink before Feed returns. A kExecution is emitted when its
  // request is complete (its last byte has been fed), its kCallEnd when the answer is complete.
  void Feed(Direction direction, const uint8_t* data, size_t size);
  void Feed(Direction direction, std::string_view bytes) {
    Feed(direction, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // Bytes of this direction were lost (a reassembly gap): drop the partial packet and find the
  // next TNS header.
  void OnGap(Direction direction);
  // The connection has ended: a request still waiting for its answer gets its kCallEnd
  // (outcomeKnown false); nothing else is emitted afterwards.
  void Finish();

  const Stats& stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qx::oranet
