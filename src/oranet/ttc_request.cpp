// Decoding the TTC messages of a client request (see ttc_request.h).
#include "oranet/ttc_request.h"

#include <cstring>

namespace qx::oranet {

namespace {

constexpr size_t kMaxCursorId = 1u << 20;
// How far past the fixed fields of a call the SQL text may start: the remaining header fields
// (two dozen integers and pointers of at most 8 bytes).
constexpr size_t kTextSearchWindow = 320;

bool KnownFunction(uint8_t f) {
  switch (f) {
    case 0x02: case 0x03: case 0x04: case 0x05: case 0x08: case 0x09: case 0x0E: case 0x0F:
    case 0x14: case 0x3B: case 0x3E: case 0x47: case 0x4E: case 0x51: case 0x52: case 0x54:
    case 0x5E: case 0x60: case 0x62: case 0x67: case 0x69: case 0x6B: case 0x73: case 0x76:
    case 0x77: case 0x78: case 0x7F: case 0x87: case 0x8B: case 0x93: case 0x9A: case 0xA8:
      return true;
    default:
      return false;
  }
}

bool NextSequence(uint8_t seq, uint8_t next) {
  const uint8_t s1 = static_cast<uint8_t>(seq + 1);
  return next == s1 || next == seq || (s1 == 0 && next == 1);
}

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    if (c < 0x80) n = 0;
    else if (c >= 0xC2 && c <= 0xDF) n = 1;
    else if (c >= 0xE0 && c <= 0xEF) n = 2;
    else if (c >= 0xF0 && c <= 0xF4) n = 3;
    else return false;
    if (i + n >= s.size() && n > 0) return false;
    for (size_t k = 1; k <= n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n + 1;
  }
  return true;
}

// Removes the NUL an OCI client counts at the end of its text.
void DropTrailingNul(std::string& text) {
  while (!text.empty() && text.back() == '\0') text.pop_back();
}

std::string_view Platform(const uint8_t* data, size_t size) {
  // 01, versions ending with 0, then the platform name ending with 0.
  size_t p = 1;
  while (p < size && data[p] != 0) ++p;
  ++p;
  size_t e = p;
  while (e < size && data[e] != 0) ++e;
  if (p >= size) return {};
  return {reinterpret_cast<const char*>(data + p), e - p};
}

// A candidate SQL text: plausible bytes, starting (after blanks) with a letter or a character
// a statement or a comment can start with; short candidates must be ASCII or UTF-8, so that
// pointer and integer bytes of the call header are never taken for text.
bool PlausibleSql(std::string_view text) {
  if (!PlausibleText(text, 2)) return false;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  size_t e = text.size();
  while (e > i && static_cast<unsigned char>(text[e - 1]) <= 0x20) --e;
  if (e - i < 4) return false;  // no statement is shorter
  const unsigned char c = static_cast<unsigned char>(text[i]);
  const bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  if (!letter && std::string_view("(/-{<[\"'@").find(static_cast<char>(c)) == std::string_view::npos)
    return false;
  if (text.size() < 32 && !ValidUtf8(text)) return false;
  return true;
}

}  // namespace

std::string& TtcRequestDecoder::TextSlot(size_t index) {
  if (texts_.size() <= index) texts_.resize(index + 1);
  return texts_[index];
}

// Thin clients write OALL8 with every field in its place: the text stands after a fixed run
// of fields whose number grows with the negotiated field version (three variants). The text is
// length-prefixed (or 0xFE and chunks), or bare bytes from python-oracledb 1.x; either way
// al8i4[0], a universal 1 (01 01), follows.
RequestStatus TtcRequestDecoder::UniversalOall8Text(TtcCall& call, const uint8_t* body,
                                                    size_t size, size_t pos, uint64_t len,
                                                    std::string& text) {
  WireReader r(body, size, IntLayout::kUniversal);
  r.Seek(pos);
  r.U8();                             // pointer (vector)
  const uint64_t al8i4 = r.UB4();
  r.U8();
  r.U8();                             // al8o4, al8o4l
  r.UB4();                            // prefetch buffer size
  r.UB4();                            // prefetch rows
  r.UB4();                            // maximum long size
  r.U8();
  r.UB4();                            // binds
  for (int i = 0; i < 5; ++i) r.U8(); // al8pp, al8txn, al8txl, al8kv, al8kvl
  r.U8();
  r.UB4();                            // defines
  r.UB4();                            // registration id
  r.U8();
  r.U8();                             // al8objlist, al8objlen
  r.U8();
  r.UB4();                            // al8blv
  r.U8();
  r.UB4();                            // al8dnam
  r.UB4();                            // registration id (high)
  r.U8();
  r.UB4();
  r.U8();                             // DML row counts
  if (!r.ok()) return RequestStatus::kNeedMore;
  if (al8i4 != 13) return RequestStatus::kUnreadable;
  const size_t base = r.pos();
  bool needMore = false;
  // Field versions before 12.2, 12.2, and 12.2 ext1 add 0, 5 or 7 fields (U8/UB4 pairs).
  for (int variant = 0; variant < 3; ++variant) {
    WireReader v(body, size, IntLayout::kUniversal);
    v.Seek(base);
    if (variant >= 1) { v.U8(); v.UB4(); v.U8(); v.UB4(); v.U8(); }
    if (variant >= 2) { v.U8(); v.UB4(); }
    if (!v.ok()) { needMore = true; continue; }
    const size_t at = v.pos();
    if (at >= size) { needMore = true; continue; }
    const uint8_t b = body[at];
    bool prefixed = false;
    if (len > 252) {
      prefixed = b == 0xFE;
    } else if (b == len) {
      if (at + 1 + len >= size) { needMore = true; continue; }
      prefixed = body[at + 1 + len] == 0x01;
    }
    if (prefixed) {
      bool truncated = false;
      const size_t end = ReadTextField(body, size, at, true, &text, &truncated);
      if (end == 0) {
        needMore |= truncated;
        continue;
      }
    } else {
      if (size - at < len) { needMore = true; continue; }
      text.assign(reinterpret_cast<const char*>(body + at), static_cast<size_t>(len));
    }
    if (text.size() != len || !PlausibleSql(text)) continue;
    call.hasText = true;
    call.text = text;
    return RequestStatus::kOk;
  }
  return needMore ? RequestStatus::kNeedMore : RequestStatus::kUnreadable;
}

RequestStatus TtcRequestDecoder::DecodeTextCall(TtcCall& call, const uint8_t* body, size_t size,
                                                IntLayout layout, std::string& text) {
  WireReader r(body, size, layout);
  call.options = r.Int(4);
  const uint64_t cursor = r.Int(4);
  const uint64_t ptr = r.Ptr();
  const uint64_t len = r.Int(4);
  if (!r.ok()) return RequestStatus::kNeedMore;
  if (cursor >= kMaxCursorId || len > (1u << 26)) return RequestStatus::kUnreadable;
  if (layout != IntLayout::kUniversal && call.options >= (1u << 24))
    return RequestStatus::kUnreadable;
  if (layout == IntLayout::kUniversal && ptr > 1) return RequestStatus::kUnreadable;
  call.cursor = static_cast<uint32_t>(cursor);
  if (ptr == 0 || len == 0) {
    call.hasText = false;
    return RequestStatus::kOk;
  }
  if (layout == IntLayout::kUniversal && call.function == kFnOall8)
    return UniversalOall8Text(call, body, size, r.pos(), len, text);
  // The text field follows the remaining fixed fields; find the first text field that fits
  // the buffer size and reads as SQL.
  const bool universal = layout == IntLayout::kUniversal;
  const size_t start = r.pos();
  const size_t limit = std::min(size, start + kTextSearchWindow);
  for (size_t q = start; q < limit; ++q) {
    const uint8_t b = body[q];
    if (b < 2 || b == 0xFD || b == 0xFF) continue;
    if (b != 0xFE && size - q - 1 >= b) {
      // One length byte: judge the bytes in place, copy only the text taken.
      std::string_view view(reinterpret_cast<const char*>(body + q + 1), b);
      while (!view.empty() && view.back() == '\0') view.remove_suffix(1);
      if (view.size() > len + 1) continue;
      if (universal && view.size() != len && view.size() + 1 != len) continue;
      if (!PlausibleSql(view)) continue;
      text.assign(view);
      call.hasText = true;
      call.text = text;
      return RequestStatus::kOk;
    }
    bool truncated = false;
    const size_t end = ReadTextField(body, size, q, universal, &text, &truncated);
    if (end == 0) {
      if (truncated) {
        // Runs past the end: a continuation, when what is there reads as the start of text.
        const size_t from = b == 0xFE ? q + 2 : q + 1;
        if (from < size) {
          std::string_view head(reinterpret_cast<const char*>(body + from), size - from);
          if (head.size() > 64) head = head.substr(0, 64);
          if (b != 0xFE || !universal) {
            if (PlausibleText(head, 1) && (b == 0xFE || b <= len + 1))
              return RequestStatus::kNeedMore;
          } else {
            return RequestStatus::kNeedMore;
          }
        }
      }
      continue;
    }
    DropTrailingNul(text);
    if (text.size() > len + 1) continue;
    if (universal && text.size() != len && text.size() + 1 != len) continue;
    if (!PlausibleSql(text)) continue;
    call.hasText = true;
    call.text = text;
    return RequestStatus::kOk;
  }
  if (limit == size) return RequestStatus::kNeedMore;
  return RequestStatus::kUnreadable;
}

RequestStatus TtcRequestDecoder::DecodeAuth(TtcCall& call, const uint8_t* body, size_t size,
                                            IntLayout layout, std::string& text) {
  WireReader r(body, size, layout);
  const uint64_t userPtr = r.Ptr();
  const uint64_t userLen = r.Int(4);
  call.options = r.Int(4);  // logon mode
  if (!r.ok()) return RequestStatus::kNeedMore;
  if (userLen > 128) return RequestStatus::kUnreadable;
  if (layout == IntLayout::kUniversal && userPtr > 1) return RequestStatus::kUnreadable;
  if (userPtr == 0 || userLen == 0) {
    call.hasText = false;
    return RequestStatus::kOk;
  }
  if (layout == IntLayout::kUniversal) {
    // Thin clients: pointer, pair count, two pointers, then the name, with its length byte
    // or (python-oracledb 1.x) bare.
    r.U8();
    r.UB4();
    r.U8();
    r.U8();
    if (!r.ok() || r.left() < userLen) return RequestStatus::kNeedMore;
    const size_t at = r.pos();
    const bool prefixed = body[at] == userLen && r.left() > userLen &&
                          (r.left() == userLen + 1 || body[at + 1 + userLen] < 0x20);
    const size_t from = prefixed ? at + 1 : at;
    std::string_view name(reinterpret_cast<const char*>(body + from), userLen);
    if (!PlausibleText(name, 1)) return RequestStatus::kUnreadable;
    text.assign(name);
    call.hasText = true;
    call.text = text;
    return RequestStatus::kOk;
  }
  const size_t start = r.pos();
  const size_t limit = std::min(size, start + 64);
  // The name in its own length-prefixed field.
  for (size_t q = start; q < limit; ++q) {
    // The length byte; the header's length is the name's buffer size, at least the name.
    const size_t n = body[q];
    if (n == 0 || n > userLen || q + 1 + n > size) continue;
    std::string_view name(reinterpret_cast<const char*>(body + q + 1), n);
    if (!PlausibleText(name, 1)) continue;
    bool spaces = false;
    for (char c : name) spaces |= (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    if (spaces) continue;
    text.assign(name);
    call.hasText = true;
    call.text = text;
    return RequestStatus::kOk;
  }
  // Some thin clients write the name without its length byte: the name's bytes, then the
  // first key/value pair.
  static constexpr char kKey[] = "AUTH_";
  for (size_t q = start; q + userLen + 5 <= size && q < limit; ++q) {
    std::string_view name(reinterpret_cast<const char*>(body + q), userLen);
    if (!PlausibleText(name, 1) || name.find(' ') != std::string_view::npos) continue;
    const size_t after = q + userLen;
    std::string_view tail(reinterpret_cast<const char*>(body + after),
                          std::min<size_t>(size - after, 12));
    const size_t k = tail.find(kKey);
    if (k == std::string_view::npos || k == 0) continue;
    if (static_cast<unsigned char>(tail[0]) >= 0x20) continue;  // the pair starts with a length
    text.assign(name);
    call.hasText = true;
    call.text = text;
    return RequestStatus::kOk;
  }
  return size - start < 64 ? RequestStatus::kNeedMore : RequestStatus::kUnreadable;
}

RequestStatus TtcRequestDecoder::DecodeCloseCursors(TtcCall& call, const uint8_t* body,
                                                    size_t size, IntLayout layout) {
  call.closeFirst = closed_.size();
  call.closeCount = 0;
  WireReader r(body, size, layout);
  r.Ptr();
  const uint64_t count = r.Int(4);
  if (!r.ok()) return RequestStatus::kUnreadable;
  if (count > 4096) return RequestStatus::kUnreadable;
  if (layout == IntLayout::kUniversal) {
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t id = r.Int(4);
      if (!r.ok() || id >= kMaxCursorId) return RequestStatus::kUnreadable;
      closed_.push_back(static_cast<uint32_t>(id));
    }
  } else {
    // Fixed layouts: the ids are the last count integers of the piggyback (some versions put
    // padding between the count and the ids).
    const unsigned w = layout == IntLayout::kFixed8Ptr8 ? 8 : 4;
    if (count * w > r.left()) return RequestStatus::kUnreadable;
    WireReader ids(body + size - count * w, count * w, layout);
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t id = ids.Int(4);
      if (id >= kMaxCursorId) return RequestStatus::kUnreadable;
      closed_.push_back(static_cast<uint32_t>(id));
    }
  }
  call.closeCount = closed_.size() - call.closeFirst;
  return RequestStatus::kOk;
}

RequestStatus TtcRequestDecoder::DecodeBody(TtcCall& call, const uint8_t* body, size_t size,
                                            IntLayout layout, std::string& text) {
  call.options = 0;
  call.cursor = 0;
  call.hasText = false;
  call.text = {};
  switch (call.function) {
    case kFnOall8:
    case kFnOall7:
    case kFnParse8:
      return DecodeTextCall(call, body, size, layout, text);
    case kFnParse: {
      // Older OCI parse: the cursor, then the text.
      RequestStatus s = DecodeTextCall(call, body, size, layout, text);
      return s;
    }
    case kFnExecute:
    case kFnReexecFetch:
    case kFnFetch:
    case kFnClose: {
      WireReader r(body, size, layout);
      const uint64_t cursor = r.Int(4);
      if (!r.ok()) return RequestStatus::kNeedMore;
      if (cursor == 0 || cursor >= kMaxCursorId) return RequestStatus::kUnreadable;
      call.cursor = static_cast<uint32_t>(cursor);
      if (call.function == kFnClose) {
        call.closeFirst = closed_.size();
        closed_.push_back(call.cursor);
        call.closeCount = 1;
      }
      return RequestStatus::kOk;
    }
    case kFnAuthPhase1:
    case kFnAuthPhase2:
      return DecodeAuth(call, body, size, layout, text);
    case kFnCloseCursors:
      return DecodeCloseCursors(call, body, size, layout);
    default:
      return RequestStatus::kOk;  // a call that runs no SQL: its body is not needed
  }
}

RequestStatus TtcRequestDecoder::Decode(const uint8_t* data, size_t size, WireState& wire) {
  calls_.clear();
  closed_.clear();
  if (size == 0) return RequestStatus::kUnreadable;
  // Negotiation messages fill their request.
  if (size >= 4 && data[0] == 0xDE && data[1] == 0xAD && data[2] == 0xBE && data[3] == 0xEF) {
    { TtcCall c; c.message = 0xDE; calls_.push_back(c); }
    return RequestStatus::kOk;
  }
  if (data[0] == 0x01) {
    if (size < 3) return RequestStatus::kNeedMore;
    if (!wire.negotiated) {
      if (data[1] == 0x06 && data[2] == 0x00) {
        wire.thin = true;
        wire.layout = IntLayout::kUniversal;
        wire.negotiated = true;
      } else {
        const std::string_view platform = Platform(data, size);
        if (!platform.empty()) {
          wire.layout = platform.find("64") != std::string_view::npos ? IntLayout::kFixed4Ptr8
                                                                      : IntLayout::kFixed4Ptr4;
          wire.negotiated = true;
        }
      }
    }
    { TtcCall c; c.message = 0x01; calls_.push_back(c); }
    return RequestStatus::kOk;
  }
  if (data[0] == 0x02) {
    { TtcCall c; c.message = 0x02; calls_.push_back(c); }
    return RequestStatus::kOk;
  }

  size_t pos = 0;
  size_t index = 0;
  while (pos < size) {
    const uint8_t msg = data[pos];
    if (msg != 0x03 && msg != 0x11) return RequestStatus::kUnreadable;
    if (size - pos < 3) return RequestStatus::kNeedMore;
    TtcCall call;
    call.message = msg;
    call.function = data[pos + 1];
    call.sequence = data[pos + 2];
    size_t bodyStart = pos + 3;
    size_t end = size;
    if (msg == 0x11) {
      // A piggyback runs up to the next message: 03/11, a function, the next sequence number.
      end = 0;
      for (size_t q = bodyStart; q + 3 <= size; ++q) {
        if ((data[q] == 0x03 || data[q] == 0x11) && KnownFunction(data[q + 1]) &&
            NextSequence(call.sequence, data[q + 2])) {
          end = q;
          break;
        }
      }
      if (end == 0) {
        // A piggyback alone would not be sent: the call behind it is still to come, or this
        // is not a piggyback.
        return size - bodyStart < 4096 ? RequestStatus::kNeedMore : RequestStatus::kUnreadable;
      }
    }
    std::string& text = TextSlot(index);
    RequestStatus best = RequestStatus::kUnreadable;
    bool decoded = false;
    auto attempt = [&](IntLayout layout, size_t skip) {
      if (bodyStart + skip > end) return false;
      const RequestStatus s =
          DecodeBody(call, data + bodyStart + skip, end - bodyStart - skip, layout, text);
      if (s == RequestStatus::kOk) return true;
      if (s == RequestStatus::kNeedMore) best = RequestStatus::kNeedMore;
      return false;
    };
    const bool layoutFree = call.function == kFnCommit || call.function == kFnRollback ||
                            call.function == kFnLogoff || !KnownFunction(call.function);
    if (layoutFree) {
      decoded = attempt(wire.layout == IntLayout::kUnknown ? IntLayout::kFixed4Ptr8 : wire.layout, 0);
    } else {
      const size_t closedBefore = closed_.size();
      if (wire.layout != IntLayout::kUnknown) {
        decoded = attempt(wire.layout, wire.tokenByte ? 1 : 0);
        if (!decoded && wire.layout == IntLayout::kUniversal) {
          closed_.resize(closedBefore);
          if (attempt(IntLayout::kUniversal, wire.tokenByte ? 0 : 1)) {
            decoded = true;
            wire.tokenByte = !wire.tokenByte;
          }
        }
      }
      if (!decoded) {
        for (IntLayout layout : kLayoutTrialOrder) {
          if (layout == wire.layout) continue;
          closed_.resize(closedBefore);
          if (attempt(layout, 0)) {
            decoded = true;
            // Keep a layout only when the call had fields that could tell.
            if (!wire.negotiated && (call.hasText || call.function == kFnCloseCursors))
              wire.layout = layout;
            break;
          }
        }
      }
      if (!decoded) closed_.resize(closedBefore);
    }
    if (!decoded) return best;
    calls_.push_back(call);
    ++index;
    pos = end;
  }
  // The texts live in texts_, which may have grown while decoding: point at them now.
  for (size_t i = 0; i < calls_.size(); ++i) {
    if (calls_[i].hasText) calls_[i].text = texts_[i];
  }
  return RequestStatus::kOk;
}

}  // namespace qx::oranet
