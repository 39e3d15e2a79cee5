// TNS packet framing (see tns_framer.h).
#include "oranet/tns_framer.h"

#include <algorithm>

namespace qx::oranet {

namespace {
bool KnownType(uint8_t t) {
  switch (t) {
    case kTnsConnect: case kTnsAccept: case kTnsRefuse: case kTnsRedirect: case kTnsData:
    case kTnsResend: case kTnsMarker: case kTnsControl:
      return true;
    default:
      return false;
  }
}
constexpr size_t kHeader = 8;
}  // namespace

uint32_t TnsFramer::HeaderLength(const uint8_t* p) const {
  const uint8_t type = p[4];
  if (!KnownType(type)) return 0;
  if (p[6] != 0 || p[7] != 0) return 0;  // header checksum: never used
  uint32_t len;
  // CONNECT, ACCEPT, REFUSE, REDIRECT and RESEND precede the switch to 4-byte lengths; a
  // CONNECT after a RESEND is still in the 2-byte form.
  if (large_ && type != kTnsConnect && type != kTnsResend) {
    len = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  } else {
    if (p[2] != 0 || p[3] != 0) return 0;  // packet checksum: never used
    len = (uint32_t{p[0]} << 8) | p[1];
  }
  if (len < kHeader || len > max_) return 0;
  if (type == kTnsMarker && len > 64) return 0;
  if (type == kTnsResend && len > 64) return 0;
  if (type == kTnsData && len < 10) return 0;
  return len;
}

void TnsFramer::Deliver(const uint8_t* p, uint32_t length, TnsPacketSink& sink) {
  TnsPacket pk;
  pk.type = p[4];
  pk.flags = p[5];
  pk.length = length;
  pk.bytes = p;
  ++packets_;
  resyncing_ = false;
  sink.OnPacket(pk);
}

void TnsFramer::Reset() {
  buf_.clear();
  resyncing_ = false;
}

void TnsFramer::Feed(const uint8_t* data, size_t size, TnsPacketSink& sink) {
  size_t i = 0;
  // First complete whatever is carried over.
  while (!buf_.empty() && i < size) {
    if (buf_.size() < kHeader) {
      const size_t take = std::min(kHeader - buf_.size(), size - i);
      buf_.insert(buf_.end(), data + i, data + i + take);
      i += take;
      if (buf_.size() < kHeader) return;
    }
    const uint32_t len = HeaderLength(buf_.data());
    if (len == 0) {
      // Not a header after all: drop its first byte and search the rest (carried bytes first).
      if (!resyncing_) { ++framingErrors_; resyncing_ = true; }
      buf_.erase(buf_.begin());
      // Look for a header start inside the carried bytes.
      while (!buf_.empty() && buf_.size() >= kHeader && HeaderLength(buf_.data()) == 0)
        buf_.erase(buf_.begin());
      continue;
    }
    const size_t need = len - buf_.size();
    const size_t take = std::min(need, size - i);
    buf_.insert(buf_.end(), data + i, data + i + take);
    i += take;
    if (buf_.size() < len) return;
    Deliver(buf_.data(), len, sink);
    buf_.clear();
  }
  // Then packets in place.
  while (i < size) {
    const size_t avail = size - i;
    if (avail < kHeader) {
      buf_.assign(data + i, data + size);
      return;
    }
    const uint32_t len = HeaderLength(data + i);
    if (len == 0) {
      if (!resyncing_) { ++framingErrors_; resyncing_ = true; }
      ++i;
      continue;
    }
    if (len > avail) {
      buf_.reserve(len);
      buf_.assign(data + i, data + size);
      return;
    }
    Deliver(data + i, len, sink);
    i += len;
  }
}

}  // namespace qx::oranet
