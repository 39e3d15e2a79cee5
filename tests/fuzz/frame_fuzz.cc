// libFuzzer target: the frame decoder and the TCP stream reassembler on arbitrary frames. The
// input is a series of records "link selector byte, 2-byte length, frame bytes"; each frame is
// copied into a buffer of exactly its size (so AddressSanitizer sees any read past it),
// decoded at the selected link type, and, when it is TCP, fed to the reassembler of its
// connection and direction (small limits, so the window overflows), with its acknowledgement
// number given to the other direction. Every delivered byte must be readable, a decoded
// payload must lie inside its frame, nothing may stay held after Flush, and the stream
// accounting must add up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "capture/tcp_reassembly.h"
#include "sniffer/packet.h"

namespace {

using qx::capture::TcpConnectionKey;
using qx::capture::TcpConnectionKeyHash;
using qx::capture::TcpReassemblyLimits;
using qx::capture::TcpStreamReassembler;

constexpr int kLinkTypes[] = {
    qx::sniffer::kLinkEthernet, qx::sniffer::kLinkLinuxSll, qx::sniffer::kLinkLinuxSll2,
    qx::sniffer::kLinkNull,     qx::sniffer::kLinkLoop,     qx::sniffer::kLinkRaw,
    qx::sniffer::kLinkRawFile,  qx::sniffer::kLinkIpv4,     qx::sniffer::kLinkIpv6,
    147,  // unknown
};

struct CheckingSink : qx::capture::TcpStreamSink {
  uint64_t data = 0, lost = 0, sum = 0;
  int fins = 0, rsts = 0;
  void OnData(const uint8_t* p, size_t n) override {
    if (p == nullptr || n == 0) std::abort();
    for (size_t i = 0; i < n; ++i) sum += p[i];  // every byte readable
    data += n;
  }
  void OnGap(size_t n) override {
    if (n == 0) std::abort();
    lost += n;
  }
  void OnFin() override { ++fins; }
  void OnRst() override { ++rsts; }
};

struct Connection {
  TcpStreamReassembler direction[2];
  CheckingSink sink[2];
  explicit Connection(const TcpReassemblyLimits& limits)
      : direction{TcpStreamReassembler(limits), TcpStreamReassembler(limits)} {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  TcpReassemblyLimits limits;
  limits.max_held_bytes = 4096;
  limits.max_held_segments = 8;
  std::unordered_map<TcpConnectionKey, std::unique_ptr<Connection>, TcpConnectionKeyHash> conns;
  size_t at = 0;
  while (at + 3 <= size) {
    const int link = kLinkTypes[input[at] % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
    size_t length = (static_cast<size_t>(input[at + 1]) << 8) | input[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    auto frame = std::make_unique<uint8_t[]>(length ? length : 1);
    if (length) std::memcpy(frame.get(), input + at, length);
    at += length;

    qx::sniffer::TcpPacket p;
    if (!qx::sniffer::DecodeTcpPacket(link, frame.get(), length, &p)) continue;
    if (p.payload < frame.get() || p.payload_length > length ||
        p.payload + p.payload_length > frame.get() + length ||
        p.payload_length > p.payload_wire_length) {
      std::abort();
    }
    (void)p.source.Text();
    (void)p.destination.Text();
    const TcpConnectionKey key = TcpConnectionKey::Of(p);
    if (conns.size() >= 16 && !conns.count(key)) continue;
    auto& c = conns[key];
    if (!c) c = std::make_unique<Connection>(limits);
    const int dir = TcpConnectionKey::DirectionOf(p);
    c->direction[dir].Segment(p.sequence, p.flags, p.payload, p.payload_length, c->sink[dir]);
    if (p.flags.ack) c->direction[1 - dir].Acknowledged(p.acknowledgement, c->sink[1 - dir]);
  }
  for (auto& [key, c] : conns) {
    for (int d = 0; d < 2; ++d) {
      c->direction[d].Flush(c->sink[d]);
      const TcpStreamReassembler& r = c->direction[d];
      const CheckingSink& s = c->sink[d];
      if (r.HeldSegments() != 0 || r.HeldBytes() != 0) std::abort();
      // A new SYN after FIN or RST starts the stream's counts anew; the sink's go on.
      if (r.DeliveredBytes() > s.data + s.lost || r.LostBytes() > s.lost) std::abort();
      if (s.fins == 0 && s.rsts == 0 &&
          (r.DeliveredBytes() != s.data + s.lost || r.LostBytes() != s.lost)) {
        std::abort();
      }
    }
  }
  return 0;
}
