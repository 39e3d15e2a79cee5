// TCP stream reassembly for passive monitoring: the captured segments of one direction of a
// connection in, the byte stream the sender wrote out, in order, each byte once.
//
// - The first SYN sets the initial sequence number; a stream joined mid-way starts at the
//   first segment seen that carries data or a FIN. Sequence numbers are compared modulo 2^32,
//   so a stream may run through the wrap-around.
// - Bytes already delivered (retransmissions, duplicates, the second copy of a frame that a
//   capture saw on two VLANs) are dropped; a segment overlapping delivered bytes is trimmed.
// - A segment ahead of the next expected byte is copied and held until the bytes before it
//   arrive. What is held is bounded (bytes and segments, TcpReassemblyLimits): a segment
//   that does not fit makes the reassembler give up on the oldest hole. Giving up on a hole
//   is a gap: OnGap(bytes lost), then delivery resumes with the bytes after it. The other
//   ways to a gap are the peer acknowledging bytes the capture never held (Acknowledged),
//   a reset, and Flush.
// - FIN is reported once the stream has been delivered up to it; RST at once (after what is
//   held, with its gaps). A SYN with a new sequence number after FIN or RST starts a new
//   stream (port reuse).
// - In-order payloads are handed to the sink straight from the caller's buffer; only what is
//   held out of order is copied.
//
// Threading: none. A reassembler belongs to its owner (the connection record) and is used
// under whatever lock guards that; the sink is called synchronously from Segment,
// Acknowledged and Flush, and must not call back into the same reassembler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "sniffer/packet.h"

namespace qx::capture {

using sniffer::TcpFlags;

// What a reassembler reports, in stream order.
class TcpStreamSink {
 public:
  virtual ~TcpStreamSink() = default;
  // The next bytes of the stream; valid only during the call.
  virtual void OnData(const uint8_t* data, size_t length) = 0;
  // `lost_bytes` bytes of the stream will never be delivered; the next OnData continues after
  // them (for Oracle Net: resynchronise at the next packet header).
  virtual void OnGap(size_t lost_bytes) = 0;
  virtual void OnFin() = 0;
  virtual void OnRst() = 0;
};

struct TcpReassemblyLimits {
  size_t max_held_bytes = 1 << 20;  // out-of-order bytes copied and held
  size_t max_held_segments = 512;   // out-of-order pieces held
};

// One direction of one connection.
class TcpStreamReassembler {
 public:
  explicit TcpStreamReassembler(TcpReassemblyLimits limits = {}) : limits_(limits) {}

  // One captured segment of this direction: `length` payload bytes (those present in the
  // capture) starting at sequence number `seq` (a SYN's payload starts at seq + 1).
  void Segment(uint32_t seq, TcpFlags flags, const uint8_t* payload, size_t length,
               TcpStreamSink& sink);
  // An acknowledgement number sent by the peer of this direction: the peer has every byte
  // before `ack`, so bytes before it that the capture lacks will not be retransmitted and are
  // reported lost. Acknowledgements behind the stream, or before it has started, do nothing.
  // Only call this when the capture sees each direction in order (one capture point).
  void Acknowledged(uint32_t ack, TcpStreamSink& sink);
  // The stream is abandoned (timeout, end of the capture): everything held is delivered,
  // holes reported as gaps, and a FIN seen is reported (after a gap up to it if need be).
  void Flush(TcpStreamSink& sink);

  bool Started() const { return started_; }
  // FIN reported or RST seen: nothing more will be delivered until a new SYN.
  bool Closed() const { return fin_reported_ || reset_; }
  // The sequence number of the next byte to deliver (meaningful once started).
  uint32_t NextSequence() const { return next_; }
  size_t HeldBytes() const { return held_bytes_; }
  size_t HeldSegments() const { return held_.size(); }
  uint64_t DeliveredBytes() const { return delivered_; }
  uint64_t LostBytes() const { return lost_; }

 private:
  void Start(uint32_t seq);
  // Stream position of sequence number `seq`, relative to the next byte (signed, mod 2^32).
  int64_t Relative(uint32_t seq) const { return static_cast<int32_t>(seq - next_); }
  void Deliver(const uint8_t* data, size_t length, TcpStreamSink& sink);
  void Skip(uint64_t bytes, TcpStreamSink& sink);
  // Delivers held pieces that have become contiguous; then a FIN that has been reached.
  void Drain(TcpStreamSink& sink);
  // Gives up on the hole before the first held piece.
  void SkipToFirstHeld(TcpStreamSink& sink);
  // Copies the parts of [offset, offset + length) that are not held yet.
  void Hold(uint64_t offset, const uint8_t* data, size_t length);
  bool Fits(size_t length) const;
  // Bytes held beyond the FIN were never part of the stream.
  void DropHeldAfterFin();
  void MaybeReportFin(TcpStreamSink& sink);

  TcpReassemblyLimits limits_;
  bool started_ = false;
  bool reset_ = false;
  bool syn_seen_ = false;
  uint32_t isn_ = 0;          // sequence number of the first byte (after the SYN)
  uint32_t next_ = 0;         // sequence number of the next byte to deliver
  uint64_t delivered_ = 0;    // stream offset of the next byte to deliver (bytes delivered
                              // plus bytes lost)
  uint64_t lost_ = 0;
  bool fin_seen_ = false;
  bool fin_reported_ = false;
  uint64_t fin_offset_ = 0;   // stream offset of the FIN
  std::map<uint64_t, std::vector<uint8_t>> held_;  // by stream offset; never overlapping
  size_t held_bytes_ = 0;
};

// Both endpoints of a connection, the lower one (address, then port) first, so that both
// directions' packets give the same key.
struct TcpConnectionKey {
  sniffer::IpAddress low_address;
  uint16_t low_port = 0;
  sniffer::IpAddress high_address;
  uint16_t high_port = 0;

  static TcpConnectionKey Of(const sniffer::TcpPacket& packet);
  // 0 when the packet was sent by the low endpoint, 1 when by the high one.
  static int DirectionOf(const sniffer::TcpPacket& packet);

  friend bool operator==(const TcpConnectionKey&, const TcpConnectionKey&) = default;
};

struct TcpConnectionKeyHash {
  size_t operator()(const TcpConnectionKey& key) const;
};

}  // namespace qx::capture
