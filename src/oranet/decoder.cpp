// The session decoder of one connection (see decoder.h): frames both directions, reassembles
// each client request, turns its calls into events with the cursor map, and reads the end and
// outcome of each answer.
#include "oranet/decoder.h"

#include <string>
#include <unordered_map>
#include <vector>

#include "oranet/tns_framer.h"
#include "oranet/ttc_request.h"
#include "oranet/ttc_response.h"

namespace qx::oranet {

namespace {
constexpr uint16_t kDataEof = 0x0040;
constexpr uint16_t kDataEndOfRequest = 0x0800;
constexpr uint16_t kDataEndOfResponse = 0x2000;
constexpr size_t kMaxCursors = 65536;

uint32_t U16BE(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t U32BE(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
std::string_view View(const uint8_t* p, size_t n) {
  return {reinterpret_cast<const char*>(p), n};
}
// Whether a descriptor's parentheses close: one cut short does not.
bool Balanced(std::string_view text) {
  int depth = 0;
  for (char c : text) {
    if (c == '(') ++depth;
    else if (c == ')' && --depth < 0) return false;
  }
  return depth == 0;
}
}  // namespace

struct SessionDecoder::Impl {
  // One sink per direction so that the framer's callback knows where the packet came from.
  struct DirectionSink : TnsPacketSink {
    Impl* impl = nullptr;
    Direction direction = Direction::kToServer;
    void OnPacket(const TnsPacket& packet) override { impl->OnPacket(direction, packet); }
  };

  Impl(EventSink& s, DecoderOptions o)
      : sink(s), options(o), client(o.maxPacketBytes), server(o.maxPacketBytes) {
    clientSink.impl = this;
    clientSink.direction = Direction::kToServer;
    serverSink.impl = this;
    serverSink.direction = Direction::kToClient;
  }

  void Emit(Event& e) { sink.OnEvent(e); }
  void EmitSimple(EventKind kind, Direction d, std::string_view text = {}) {
    Event e;
    e.kind = kind;
    e.direction = d;
    e.text = text;
    Emit(e);
  }

  void OnPacket(Direction d, const TnsPacket& pk);
  void OnConnect(const TnsPacket& pk);
  void OnAccept(const TnsPacket& pk);
  void ReleaseHeldDescriptor();
  void OnClientData(const TnsPacket& pk, uint16_t flags, const uint8_t* payload, size_t n);
  void OnServerData(uint16_t flags, const uint8_t* payload, size_t n);
  void ProcessRequest(const uint8_t* payload, size_t n, RequestStatus status);
  void HandleCalls();
  void Execution(CallKind call, uint32_t cursor, std::string_view text, bool haveText);
  void EndAnswer(bool connectionEnded);
  void Fallback(const uint8_t* payload, size_t n);

  EventSink& sink;
  DecoderOptions options;
  Stats stats;
  TnsFramer client, server;
  DirectionSink clientSink, serverSink;
  bool finished = false;

  // Framing state.
  bool connectSeen = false;
  bool largePendingForClient = false;  // ACCEPT >= 315 seen before the client's CONNECT
  uint32_t sdu = 0;
  size_t descriptorPending = 0;  // the descriptor follows the CONNECT in a DATA packet
  std::string lastDescriptor;
  std::string heldDescriptor;    // a descriptor cut short, waiting for a resend
  bool clientEndFlags = false;   // the client marks the last packet of a request (0x0800)
  bool serverEndFlags = false;   // the server marks the last packet of an answer (0x2000)

  // The request being reassembled across DATA packets.
  std::vector<uint8_t> request;
  bool requestOpen = false;

  // Decoding.
  WireState wire;
  TtcRequestDecoder requests;
  TtcResponseDecoder answers;

  // The request waiting for its answer.
  bool awaiting = false;
  uint8_t awaitingFunction = 0;
  bool awaitingPhase1 = false, awaitingPhase2 = false;
  bool awaitingParse = false;  // a parse on cursor 0: the answer names the cursor
  std::string parseText;
  bool logonFailed = false;    // this logon attempt's phase one was refused
  bool answerData = false;     // some of the answer has arrived

  std::unordered_map<uint32_t, std::string> cursors;
};

void SessionDecoder::Impl::OnPacket(Direction d, const TnsPacket& pk) {
  ++stats.packets;
  const uint8_t* b = pk.bytes;
  const size_t len = pk.length;
  switch (pk.type) {
    case kTnsConnect:
      if (d == Direction::kToServer) OnConnect(pk);
      break;
    case kTnsAccept:
      if (d == Direction::kToClient) OnAccept(pk);
      break;
    case kTnsRefuse:
      if (len >= 12) {
        const size_t n = std::min<size_t>(U16BE(b + 10), len - 12);
        EmitSimple(EventKind::kRefuse, d, View(b + 12, n));
      } else {
        EmitSimple(EventKind::kRefuse, d);
      }
      break;
    case kTnsRedirect:
      if (len >= 10) {
        const size_t n = std::min<size_t>(U16BE(b + 8), len - 10);
        EmitSimple(EventKind::kRedirect, d, View(b + 10, n));
      } else {
        EmitSimple(EventKind::kRedirect, d);
      }
      break;
    case kTnsMarker:
      if (d == Direction::kToClient && awaiting) answers.OnMarker();
      break;
    case kTnsData: {
      if (d == Direction::kToServer) ReleaseHeldDescriptor();
      const uint16_t flags = static_cast<uint16_t>(U16BE(b + 8));
      const uint8_t* payload = b + 10;
      const size_t n = len - 10;
      if (d == Direction::kToServer) OnClientData(pk, flags, payload, n);
      else OnServerData(flags, payload, n);
      break;
    }
    default:
      break;  // RESEND, CONTROL: nothing the session needs
  }
}

void SessionDecoder::Impl::OnConnect(const TnsPacket& pk) {
  connectSeen = true;
  if (largePendingForClient) {
    client.SetLargeLengths(true);
    largePendingForClient = false;
  }
  const uint8_t* b = pk.bytes;
  if (pk.length < 28) return;
  const size_t dataLen = U16BE(b + 24);
  const size_t dataOff = U16BE(b + 26);
  if (dataLen == 0) return;
  if (dataOff >= pk.length) {
    descriptorPending = dataLen;  // too long for the CONNECT: it follows in a DATA packet
    return;
  }
  if (dataOff < 28 || dataOff >= pk.length) return;
  const std::string_view text = View(b + dataOff, std::min<size_t>(dataLen, pk.length - dataOff));
  if (text == lastDescriptor) return;  // the same CONNECT again after a RESEND
  if (!Balanced(text)) {
    // Cut short: a resend may bring it whole; reported as it is if none does.
    heldDescriptor.assign(text);
    return;
  }
  heldDescriptor.clear();
  lastDescriptor.assign(text);
  EmitSimple(EventKind::kConnectDescriptor, Direction::kToServer, text);
}

void SessionDecoder::Impl::ReleaseHeldDescriptor() {
  if (heldDescriptor.empty()) return;
  lastDescriptor.swap(heldDescriptor);
  heldDescriptor.clear();
  EmitSimple(EventKind::kConnectDescriptor, Direction::kToServer, lastDescriptor);
}

void SessionDecoder::Impl::OnAccept(const TnsPacket& pk) {
  const uint8_t* b = pk.bytes;
  if (pk.length < 10) return;
  const uint32_t version = U16BE(b + 8);
  if (pk.length >= 14) sdu = U16BE(b + 12);
  if (version >= 315) {
    if (pk.length >= 36) {
      const uint32_t large = U32BE(b + 32);
      if (large >= 512) sdu = large;
    }
    server.SetLargeLengths(true);
    if (connectSeen) client.SetLargeLengths(true);
    else largePendingForClient = true;
  }
  // The ACCEPT answers the CONNECT; what the connection sends next is a new request.
  Event e;
  e.kind = EventKind::kAccept;
  e.direction = Direction::kToClient;
  e.number = version;
  Emit(e);
}

void SessionDecoder::Impl::Fallback(const uint8_t* payload, size_t n) {
  ++stats.fallbacks;
  EmitSimple(EventKind::kFallback, Direction::kToServer, View(payload, n));
}

void SessionDecoder::Impl::OnClientData(const TnsPacket& pk, uint16_t flags,
                                        const uint8_t* payload, size_t n) {
  if ((flags & kDataEof) != 0) {
    if (requestOpen) {
      Fallback(request.data(), request.size());
      request.clear();
      requestOpen = false;
    }
    if (awaiting) EndAnswer(false);
    EmitSimple(EventKind::kEndOfSession, Direction::kToServer);
    return;
  }
  if (descriptorPending != 0) {
    const size_t take = std::min(descriptorPending, n);
    const std::string_view text = View(payload, take);
    descriptorPending = 0;
    if (text != lastDescriptor) {
      lastDescriptor.assign(text);
      EmitSimple(EventKind::kConnectDescriptor, Direction::kToServer, text);
    }
    return;
  }
  if (n == 0) return;
  if ((flags & kDataEndOfRequest) != 0) clientEndFlags = true;
  if (!requestOpen && awaiting) EndAnswer(false);

  const bool lastByFlag = (flags & kDataEndOfRequest) != 0;
  if (clientEndFlags && !lastByFlag) {
    // More packets of this request follow.
    if (request.size() + n > options.maxRequestBytes) {
      request.insert(request.end(), payload, payload + n);
      Fallback(request.data(), request.size());
      request.clear();
      requestOpen = false;
      awaiting = true;
      awaitingFunction = 0;
      answers.Begin(0);
      return;
    }
    request.insert(request.end(), payload, payload + n);
    requestOpen = true;
    return;
  }
  const uint8_t* data = payload;
  size_t size = n;
  if (requestOpen) {
    request.insert(request.end(), payload, payload + n);
    data = request.data();
    size = request.size();
  }
  if (clientEndFlags) {
    ProcessRequest(data, size, requests.Decode(data, size, wire));
  } else {
    // Without end flags a request ends with its packet unless its fields run on and the
    // packet was a full one.
    const RequestStatus s = requests.Decode(data, size, wire);
    const bool full = sdu == 0 || pk.length + 16 >= sdu;
    if (s == RequestStatus::kNeedMore && full && size < options.maxRequestBytes) {
      if (!requestOpen) {
        request.assign(payload, payload + n);
        requestOpen = true;
      }
      return;
    }
    ProcessRequest(data, size, s);
  }
  request.clear();
  requestOpen = false;
}

void SessionDecoder::Impl::ProcessRequest(const uint8_t* payload, size_t n, RequestStatus s) {
  ++stats.requests;
  if (options.emitRequests) EmitSimple(EventKind::kRequest, Direction::kToServer, View(payload, n));
  awaiting = true;
  awaitingFunction = 0;
  awaitingPhase1 = awaitingPhase2 = awaitingParse = false;
  answerData = false;
  if (s != RequestStatus::kOk) {
    answers.Begin(0);
    Fallback(payload, n);
    return;
  }
  HandleCalls();
  answers.Begin(awaitingFunction);
}

void SessionDecoder::Impl::Execution(CallKind call, uint32_t cursor, std::string_view text,
                                     bool haveText) {
  Event e;
  e.kind = EventKind::kExecution;
  e.call = call;
  e.cursor = cursor;
  if (haveText) {
    e.text = text;
  } else {
    auto it = cursors.find(cursor);
    if (it != cursors.end()) {
      e.text = it->second;
    } else {
      e.unknownCursor = true;
      ++stats.unknownCursors;
    }
  }
  ++stats.executions;
  Emit(e);
}

void SessionDecoder::Impl::HandleCalls() {
  const auto& closed = requests.closedCursors();
  for (const TtcCall& c : requests.calls()) {
    if (c.message != 0x03 && c.message != 0x11) continue;
    if (c.message == 0x03) awaitingFunction = c.function;
    switch (c.function) {
      case kFnCloseCursors:
      case kFnClose:
        for (size_t i = 0; i < c.closeCount; ++i) cursors.erase(closed[c.closeFirst + i]);
        break;
      case kFnOall8:
      case kFnOall7: {
        const CallKind kind = c.function == kFnOall8 ? CallKind::kOall8 : CallKind::kOall7;
        if (c.hasText) {
          if (c.cursor != 0) {
            if (cursors.size() < kMaxCursors || cursors.count(c.cursor))
              cursors[c.cursor].assign(c.text);
          } else {
            awaitingParse = true;
            parseText.assign(c.text);
          }
        }
        if ((c.options & kOptExecute) != 0) Execution(kind, c.cursor, c.text, c.hasText);
        break;
      }
      case kFnParse8:
      case kFnParse:
        if (c.hasText) {
          if (c.cursor != 0) {
            if (cursors.size() < kMaxCursors || cursors.count(c.cursor))
              cursors[c.cursor].assign(c.text);
          } else {
            awaitingParse = true;
            parseText.assign(c.text);
          }
        }
        break;
      case kFnExecute:
        Execution(CallKind::kExecute, c.cursor, {}, false);
        break;
      case kFnReexecFetch:
        Execution(CallKind::kReexecute, c.cursor, {}, false);
        break;
      case kFnCommit:
        EmitSimple(EventKind::kCommit, Direction::kToServer);
        break;
      case kFnRollback:
        EmitSimple(EventKind::kRollback, Direction::kToServer);
        break;
      case kFnLogoff:
        EmitSimple(EventKind::kLogoff, Direction::kToServer);
        break;
      case kFnAuthPhase1:
        awaitingPhase1 = true;
        logonFailed = false;
        EmitSimple(EventKind::kLogonUser, Direction::kToServer, c.hasText ? c.text : std::string_view{});
        break;
      case kFnAuthPhase2:
        awaitingPhase2 = true;
        break;
      default:
        break;
    }
  }
  if (cursors.size() >= kMaxCursors) cursors.clear();
}

void SessionDecoder::Impl::OnServerData(uint16_t flags, const uint8_t* payload, size_t n) {
  if ((flags & kDataEof) != 0) {
    if (awaiting) EndAnswer(false);
    EmitSimple(EventKind::kEndOfSession, Direction::kToClient);
    return;
  }
  if ((flags & kDataEndOfResponse) != 0) serverEndFlags = true;
  if (!awaiting) return;
  answerData = true;
  answers.OnData(payload, n, flags, wire.layout, serverEndFlags);
  if (answers.outcome().ended) EndAnswer(false);
}

void SessionDecoder::Impl::EndAnswer(bool connectionEnded) {
  awaiting = false;
  const AnswerOutcome& o = answers.outcome();
  const bool ok = o.errorCode == 0;
  if (awaitingParse && o.haveCursor && ok && answerData) {
    if (cursors.size() < kMaxCursors || cursors.count(o.cursor)) cursors[o.cursor] = parseText;
  } else if (awaitingFunction == kFnOpen && o.haveCursor) {
    cursors.erase(o.cursor);
  }
  // One result per logon attempt: a phase one refused ends the attempt (the client may still
  // send phase two, whose error then says nothing new).
  if (awaitingPhase1 && !ok) logonFailed = true;
  if ((awaitingPhase2 && answerData && !(logonFailed && !ok)) || (awaitingPhase1 && !ok)) {
    Event e;
    e.kind = EventKind::kLogonResult;
    e.direction = Direction::kToClient;
    e.success = ok;
    e.errorCode = o.errorCode;
    Emit(e);
  }
  Event e;
  e.kind = EventKind::kCallEnd;
  e.direction = Direction::kToClient;
  e.outcomeKnown = o.outcomeKnown && !connectionEnded;
  e.errorCode = o.errorCode;
  e.success = ok;
  e.rows = o.rows;
  e.rowsKnown = e.outcomeKnown && o.rowsKnown;
  e.cursor = o.haveCursor ? o.cursor : 0;
  awaitingPhase1 = awaitingPhase2 = awaitingParse = false;
  Emit(e);
}

SessionDecoder::SessionDecoder(EventSink& sink, DecoderOptions options)
    : impl_(std::make_unique<Impl>(sink, options)) {}

SessionDecoder::~SessionDecoder() = default;

void SessionDecoder::Feed(Direction direction, const uint8_t* data, size_t size) {
  Impl& m = *impl_;
  if (m.finished || size == 0 || data == nullptr) return;
  if (direction == Direction::kToServer) {
    m.client.Feed(data, size, m.clientSink);
  } else {
    m.server.Feed(data, size, m.serverSink);
  }
  m.stats.framingErrors = m.client.framingErrors() + m.server.framingErrors();
}

void SessionDecoder::OnGap(Direction direction) {
  Impl& m = *impl_;
  if (m.finished) return;
  ++m.stats.gaps;
  if (direction == Direction::kToServer) {
    m.client.Reset();
    if (m.requestOpen) {
      // The packets of the request before the gap are handed out as they are.
      m.Fallback(m.request.data(), m.request.size());
      m.request.clear();
      m.requestOpen = false;
      m.awaiting = true;
      m.awaitingFunction = 0;
      m.answers.Begin(0);
    }
  } else {
    m.server.Reset();
  }
}

void SessionDecoder::Finish() {
  Impl& m = *impl_;
  if (m.finished) return;
  m.ReleaseHeldDescriptor();
  if (m.requestOpen) {
    m.Fallback(m.request.data(), m.request.size());
    m.request.clear();
    m.requestOpen = false;
  }
  if (m.awaiting) m.EndAnswer(true);
  m.finished = true;
}

const Stats& SessionDecoder::stats() const { return impl_->stats; }

}  // namespace qx::oranet
