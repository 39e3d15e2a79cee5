// TNS framing of one direction of a connection: cuts the byte stream into packets (8-byte
// header: 2-byte length, or 4-byte length once the connection has accepted version 315 or
// later), whatever the split of the input. A packet that lies entirely inside one Feed is
// handed out in place; only a packet spanning feeds is buffered (up to maxPacketBytes, the
// buffer is kept between packets). Bytes that do not start a plausible header are skipped,
// one resynchronisation counted per run of such bytes.
//
// Threading: one framer per direction, used by the connection's owner only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qx::oranet {

enum TnsType : uint8_t {
  kTnsConnect = 1,
  kTnsAccept = 2,
  kTnsRefuse = 4,
  kTnsRedirect = 5,
  kTnsData = 6,
  kTnsResend = 11,
  kTnsMarker = 12,
  kTnsControl = 14,
};

struct TnsPacket {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t length = 0;        // header included
  const uint8_t* bytes = nullptr;  // the whole packet, header included
};

class TnsPacketSink {
 public:
  virtual ~TnsPacketSink() = default;
  virtual void OnPacket(const TnsPacket& packet) = 0;
};

class TnsFramer {
 public:
  explicit TnsFramer(size_t maxPacketBytes) : max_(maxPacketBytes < 64 ? 64 : maxPacketBytes) {}

  // Packets complete after these bytes go to sink, in order. The sink may call
  // SetLargeLengths() from OnPacket: it applies to the next packet.
  void Feed(const uint8_t* data, size_t size, TnsPacketSink& sink);
  // 4-byte lengths from the next packet on (after an ACCEPT of version 315 or later).
  void SetLargeLengths(bool large) { large_ = large; }
  bool largeLengths() const { return large_; }
  // Bytes were lost: drop the partial packet; the next bytes are searched for a header.
  void Reset();

  uint64_t packets() const { return packets_; }
  uint64_t framingErrors() const { return framingErrors_; }

 private:
  // 0 when the 8 bytes at p cannot start a packet, else its length.
  uint32_t HeaderLength(const uint8_t* p) const;
  void Deliver(const uint8_t* p, uint32_t length, TnsPacketSink& sink);

  size_t max_;
  bool large_ = false;
  bool resyncing_ = false;   // skipping bytes: count once per run
  std::vector<uint8_t> buf_; // the partial packet (or partial header) carried between feeds
  uint64_t packets_ = 0;
  uint64_t framingErrors_ = 0;
};

}  // namespace qx::oranet
