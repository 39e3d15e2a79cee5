// TCP stream reassembly (tcp_reassembly.h).
#include "capture/tcp_reassembly.h"

#include <algorithm>
#include <iterator>
#include <tuple>

namespace qx::capture {

void TcpStreamReassembler::Start(uint32_t seq) {
  started_ = true;
  isn_ = seq;
  next_ = seq;
}

void TcpStreamReassembler::Segment(uint32_t seq, TcpFlags flags, const uint8_t* payload,
                                   size_t length, TcpStreamSink& sink) {
  if (!payload) length = 0;
  uint32_t data_seq = seq;
  if (flags.syn) {
    data_seq = seq + 1;
    if (started_ && Closed() && data_seq != isn_) {
      // The four-tuple is used again by a new connection.
      *this = TcpStreamReassembler(limits_);
    }
    if (!started_) {
      Start(data_seq);
      syn_seen_ = true;
    }
  }
  if (reset_) return;
  if (flags.rst) {
    if (!started_) Start(data_seq);
    while (!held_.empty()) SkipToFirstHeld(sink);
    reset_ = true;
    sink.OnRst();
    return;
  }
  if (fin_reported_) return;
  if (!started_) {
    if (length == 0 && !flags.fin) return;  // a bare ACK says nothing of where data starts
    Start(data_seq);
  }
  int64_t rel = Relative(data_seq);
  if (flags.fin && !fin_seen_) {
    fin_seen_ = true;
    const int64_t at = rel + static_cast<int64_t>(length);
    fin_offset_ = at < 0 ? delivered_ : delivered_ + static_cast<uint64_t>(at);
    DropHeldAfterFin();
  }
  if (length > 0) {
    // Already delivered, wholly or in part.
    if (rel < 0) {
      const uint64_t behind = static_cast<uint64_t>(-rel);
      if (behind >= length) {
        MaybeReportFin(sink);
        return;
      }
      payload += behind;
      length -= static_cast<size_t>(behind);
      rel = 0;
    }
    uint64_t offset = delivered_ + static_cast<uint64_t>(rel);
    if (fin_seen_) {
      if (offset >= fin_offset_) {
        MaybeReportFin(sink);
        return;
      }
      length = static_cast<size_t>(std::min<uint64_t>(length, fin_offset_ - offset));
    }
    while (offset > delivered_ && !Fits(length)) {
      if (held_.empty()) {
        Skip(offset - delivered_, sink);  // too big to hold even alone
      } else {
        SkipToFirstHeld(sink);
      }
      if (offset < delivered_) {
        const uint64_t behind = delivered_ - offset;
        if (behind >= length) {
          MaybeReportFin(sink);
          return;
        }
        payload += behind;
        length -= static_cast<size_t>(behind);
        offset = delivered_;
      }
    }
    if (offset == delivered_) {
      Deliver(payload, length, sink);
      Drain(sink);
      return;
    }
    Hold(offset, payload, length);
    while (held_.size() > limits_.max_held_segments || held_bytes_ > limits_.max_held_bytes) {
      SkipToFirstHeld(sink);
    }
  }
  MaybeReportFin(sink);
}

void TcpStreamReassembler::Acknowledged(uint32_t ack, TcpStreamSink& sink) {
  if (!started_ || Closed()) return;
  const int64_t rel = Relative(ack);
  if (rel <= 0) return;
  // One sequence number past everything had, with nothing held, is most likely the
  // acknowledgement of a FIN the capture missed, not a lost byte.
  if (rel == 1 && held_.empty() && !fin_seen_) return;
  uint64_t target = delivered_ + static_cast<uint64_t>(rel);
  if (fin_seen_) target = std::min(target, fin_offset_);
  while (delivered_ < target) {
    if (!held_.empty() && held_.begin()->first <= target) {
      SkipToFirstHeld(sink);
    } else {
      Skip(target - delivered_, sink);
      Drain(sink);
    }
  }
  MaybeReportFin(sink);
}

void TcpStreamReassembler::Flush(TcpStreamSink& sink) {
  if (!started_ || Closed()) return;
  while (!held_.empty()) SkipToFirstHeld(sink);
  if (fin_seen_ && delivered_ < fin_offset_) Skip(fin_offset_ - delivered_, sink);
  MaybeReportFin(sink);
}

void TcpStreamReassembler::Deliver(const uint8_t* data, size_t length, TcpStreamSink& sink) {
  if (length == 0) return;
  delivered_ += length;
  next_ += static_cast<uint32_t>(length);
  sink.OnData(data, length);
}

void TcpStreamReassembler::Skip(uint64_t bytes, TcpStreamSink& sink) {
  if (bytes == 0) return;
  delivered_ += bytes;
  next_ += static_cast<uint32_t>(bytes);
  lost_ += bytes;
  sink.OnGap(static_cast<size_t>(bytes));
}

void TcpStreamReassembler::Drain(TcpStreamSink& sink) {
  while (!held_.empty() && held_.begin()->first <= delivered_) {
    auto node = held_.extract(held_.begin());
    const std::vector<uint8_t>& bytes = node.mapped();
    held_bytes_ -= bytes.size();
    const uint64_t end = node.key() + bytes.size();
    if (end > delivered_) {
      const size_t cut = static_cast<size_t>(delivered_ - node.key());
      Deliver(bytes.data() + cut, bytes.size() - cut, sink);
    }
  }
  MaybeReportFin(sink);
}

void TcpStreamReassembler::SkipToFirstHeld(TcpStreamSink& sink) {
  if (held_.empty()) return;
  const uint64_t first = held_.begin()->first;
  if (first > delivered_) Skip(first - delivered_, sink);
  Drain(sink);
}

void TcpStreamReassembler::DropHeldAfterFin() {
  while (!held_.empty()) {
    auto last = std::prev(held_.end());
    const uint64_t end = last->first + last->second.size();
    if (end <= fin_offset_) break;
    if (last->first >= fin_offset_) {
      held_bytes_ -= last->second.size();
      held_.erase(last);
    } else {
      const size_t keep = static_cast<size_t>(fin_offset_ - last->first);
      held_bytes_ -= last->second.size() - keep;
      last->second.resize(keep);
    }
  }
}

bool TcpStreamReassembler::Fits(size_t length) const {
  return held_.size() < limits_.max_held_segments &&
         held_bytes_ + length <= limits_.max_held_bytes;
}

void TcpStreamReassembler::Hold(uint64_t offset, const uint8_t* data, size_t length) {
  uint64_t pos = offset;
  const uint64_t end = offset + length;
  while (pos < end) {
    auto next = held_.upper_bound(pos);
    if (next != held_.begin()) {
      const auto prev = std::prev(next);
      const uint64_t prev_end = prev->first + prev->second.size();
      if (prev_end > pos) {
        pos = prev_end;
        continue;
      }
    }
    const uint64_t piece_end = next == held_.end() ? end : std::min(end, next->first);
    held_.emplace(pos, std::vector<uint8_t>(data + (pos - offset), data + (piece_end - offset)));
    held_bytes_ += static_cast<size_t>(piece_end - pos);
    pos = piece_end;
  }
}

void TcpStreamReassembler::MaybeReportFin(TcpStreamSink& sink) {
  if (!fin_seen_ || fin_reported_ || delivered_ < fin_offset_) return;
  fin_reported_ = true;
  sink.OnFin();
}

TcpConnectionKey TcpConnectionKey::Of(const sniffer::TcpPacket& packet) {
  TcpConnectionKey key;
  if (DirectionOf(packet) == 0) {
    key.low_address = packet.source;
    key.low_port = packet.source_port;
    key.high_address = packet.destination;
    key.high_port = packet.destination_port;
  } else {
    key.low_address = packet.destination;
    key.low_port = packet.destination_port;
    key.high_address = packet.source;
    key.high_port = packet.source_port;
  }
  return key;
}

int TcpConnectionKey::DirectionOf(const sniffer::TcpPacket& packet) {
  return std::tie(packet.source, packet.source_port) <=
                 std::tie(packet.destination, packet.destination_port)
             ? 0
             : 1;
}

size_t TcpConnectionKeyHash::operator()(const TcpConnectionKey& key) const {
  // FNV-1a over both endpoints.
  uint64_t h = 1469598103934665603ull;
  const auto mix = [&h](uint8_t byte) {
    h ^= byte;
    h *= 1099511628211ull;
  };
  for (const auto* address : {&key.low_address, &key.high_address}) {
    mix(address->family);
    for (uint8_t b : address->bytes) mix(b);
  }
  for (uint16_t port : {key.low_port, key.high_port}) {
    mix(static_cast<uint8_t>(port >> 8));
    mix(static_cast<uint8_t>(port));
  }
  return static_cast<size_t>(h);
}

}  // namespace qx::capture
