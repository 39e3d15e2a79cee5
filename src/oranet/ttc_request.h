// The TTC messages of one client request (the reassembled DATA payload, data flags removed):
// network and protocol negotiation, data types, and function calls with the piggybacks that
// precede them (0x11 close cursors 0x69 and others). For each call it reads what the session
// decoder needs: the function, options, cursor id, the SQL text (byte-exact, chunk lengths
// removed), the user name of an authentication phase, the cursors a close names.
//
// Integer layout: taken from the connection's protocol negotiation when it showed one (thin
// clients -> universal; OCI -> 4-byte integers, pointer width from the platform name), else the
// layouts are tried in a fixed order and the first whose fields are self-consistent is kept for
// the connection.
//
// Threading: one decoder per connection. The calls and their texts stay valid until the next
// Decode().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "oranet/ttc_wire.h"

namespace qx::oranet {

// TTC function codes the decoder tells apart.
enum TtcFunction : uint8_t {
  kFnOpen = 0x02,
  kFnParse = 0x03,       // older OCI parse (text, cursor)
  kFnExecute = 0x04,     // older OCI execute / thin re-execute (cursor)
  kFnFetch = 0x05,
  kFnClose = 0x08,
  kFnLogoff = 0x09,
  kFnCommit = 0x0E,
  kFnRollback = 0x0F,
  kFnParse8 = 0x3E,      // OCI 8 parse onto an opened cursor (text, cursor)
  kFnOall7 = 0x47,
  kFnReexecFetch = 0x4E,
  kFnOall8 = 0x5E,
  kFnCloseCursors = 0x69,
  kFnAuthPhase2 = 0x73,
  kFnAuthPhase1 = 0x76,
};

// OALL8 / OALL7 option bits.
inline constexpr uint64_t kOptParse = 0x01;
inline constexpr uint64_t kOptBind = 0x08;
inline constexpr uint64_t kOptDefine = 0x10;
inline constexpr uint64_t kOptExecute = 0x20;
inline constexpr uint64_t kOptFetch = 0x40;

// What the request decoder learned about the connection and keeps for it.
struct WireState {
  IntLayout layout = IntLayout::kUnknown;  // learned or negotiated
  bool negotiated = false;                 // taken from the protocol negotiation
  bool thin = false;                       // the client wrote the thin protocol negotiation
  bool tokenByte = false;                  // thin function headers carry a token (field version 18+)
};

struct TtcCall {
  uint8_t message = 0;    // 0x03 call, 0x11 piggyback, 0x01/0x02/0xDE for negotiation
  uint8_t function = 0;
  uint8_t sequence = 0;
  uint64_t options = 0;
  uint32_t cursor = 0;
  bool hasText = false;
  std::string_view text;  // SQL text, or the user name of an authentication phase
  size_t closeFirst = 0;  // 0x69 / 0x08: the ids in TtcRequestDecoder::closedCursors()
  size_t closeCount = 0;
};

enum class RequestStatus : uint8_t {
  kOk,          // every message read
  kNeedMore,    // a field runs past the end: the request continues in the next DATA packet
  kUnreadable,  // not a request this decoder can read
};

class TtcRequestDecoder {
 public:
  RequestStatus Decode(const uint8_t* data, size_t size, WireState& wire);
  const std::vector<TtcCall>& calls() const { return calls_; }
  const std::vector<uint32_t>& closedCursors() const { return closed_; }

 private:
  // One call body under one layout.
  RequestStatus DecodeBody(TtcCall& call, const uint8_t* body, size_t size, IntLayout layout,
                           std::string& text);
  RequestStatus DecodeTextCall(TtcCall& call, const uint8_t* body, size_t size,
                               IntLayout layout, std::string& text);
  RequestStatus UniversalOall8Text(TtcCall& call, const uint8_t* body, size_t size, size_t pos,
                                  uint64_t len, std::string& text);
  RequestStatus DecodeAuth(TtcCall& call, const uint8_t* body, size_t size, IntLayout layout,
                           std::string& text);
  RequestStatus DecodeCloseCursors(TtcCall& call, const uint8_t* body, size_t size,
                                   IntLayout layout);
  std::string& TextSlot(size_t index);

  std::vector<TtcCall> calls_;
  std::vector<uint32_t> closed_;
  std::vector<std::string> texts_;  // one per call, capacity kept between requests
  std::string scratch_;
};

}  // namespace qx::oranet
