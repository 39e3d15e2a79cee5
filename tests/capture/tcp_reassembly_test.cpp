// TCP stream reassembly: the client stream of a recorded session cut, reordered, duplicated,
// retransmitted with overlaps and missing a segment must come out as the bytes sent (minus
// the missing range, reported once as a gap); plus the sequence-number edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "capture/tcp_reassembly.h"
#include "support/pcap_reader.h"

namespace qx::capture {
namespace {

// What the reassembler reported: the bytes, and the events in order ("G<n>", "F", "R"; data
// runs are not listed).
struct Recorder : TcpStreamSink {
  std::string data;
  std::vector<std::string> events;
  void OnData(const uint8_t* p, size_t n) override {
    data.append(reinterpret_cast<const char*>(p), n);
  }
  void OnGap(size_t lost) override { events.push_back("G" + std::to_string(lost)); }
  void OnFin() override { events.push_back("F"); }
  void OnRst() override { events.push_back("R"); }
};

struct Piece {
  uint32_t seq;
  std::string bytes;
  TcpFlags flags;
};

const TcpFlags kData{false, false, false, true};
const TcpFlags kFin{false, true, false, true};

// The client stream of the IPv6 loopback session: its SYN's sequence number and the bytes.
struct Stream {
  uint32_t syn = 0;
  std::string bytes;
};

Stream ClientStream() {
  std::vector<testsupport::TcpSegment> segments;
  std::string error;
  const std::string path = testsupport::CapturesDirectory() + "/python_thin_ipv6.pcap";
  EXPECT_TRUE(testsupport::ReadTcpSegments(path, &segments, &error)) << error;
  Stream s;
  uint16_t client_port = 0;
  for (const auto& seg : segments) {
    if ((seg.flags & 0x12) == 0x02) {
      s.syn = seg.seq;
      client_port = seg.srcPort;
    }
    // Recorded on loopback in order, without loss: the payloads in capture order are the stream.
    if (seg.srcPort == client_port && client_port != 0) s.bytes += seg.payload;
  }
  return s;
}

// The stream cut into pieces at the given stream offsets (sorted, inside the stream).
std::vector<Piece> Cut(uint32_t first_seq, const std::string& bytes, std::vector<size_t> cuts) {
  cuts.push_back(0);
  cuts.push_back(bytes.size());
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<Piece> pieces;
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    pieces.push_back({first_seq + static_cast<uint32_t>(cuts[i]),
                      bytes.substr(cuts[i], cuts[i + 1] - cuts[i]), kData});
  }
  return pieces;
}

void Feed(TcpStreamReassembler& r, const std::vector<Piece>& pieces, Recorder& out) {
  for (const Piece& p : pieces) {
    r.Segment(p.seq, p.flags, reinterpret_cast<const uint8_t*>(p.bytes.data()), p.bytes.size(),
              out);
  }
}

class Reassembly : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(testsupport::CapturesDirectory() + "/python_thin_ipv6.pcap")) {
      GTEST_SKIP() << "no recorded sessions";
    }
    stream_ = ClientStream();
    ASSERT_GT(stream_.bytes.size(), 15000u);
  }
  uint32_t First() const { return stream_.syn + 1; }
  void Syn(TcpStreamReassembler& r, Recorder& out) const {
    r.Segment(stream_.syn, {true, false, false, false}, nullptr, 0, out);
  }
  Stream stream_;
};

// At every byte position the stream is cut in two and the second half arrives first.
TEST_F(Reassembly, SplitAtEveryPositionAndSwapped) {
  const std::string& bytes = stream_.bytes;
  for (size_t at = 1; at < bytes.size(); ++at) {
    std::vector<Piece> pieces = Cut(First(), bytes, {at});
    std::swap(pieces[0], pieces[1]);
    TcpStreamReassembler r;
    Recorder out;
    Syn(r, out);
    Feed(r, pieces, out);
    if (out.data != bytes || !out.events.empty() || r.HeldSegments() != 0) {
      FAIL() << "cut at " << at << ": " << out.data.size() << " bytes, "
             << testing::PrintToString(out.events);
    }
  }
}

// Small pieces, shuffled within a window, each sent twice (a frame seen on two VLANs), and
// retransmissions that overlap what came before, across the sequence-number wrap.
TEST_F(Reassembly, ReorderedDuplicatedAndOverlappingRetransmissions) {
  const std::string& bytes = stream_.bytes;
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::vector<size_t> cuts;
    for (size_t at = 0; at < bytes.size(); at += 1 + rng() % 700) cuts.push_back(at);
    const uint32_t isn = seed % 2 ? First() : 0xffffffffu - 3000;  // odd seeds: no wrap
    std::vector<Piece> pieces = Cut(isn, bytes, cuts);
    std::vector<Piece> sent;
    for (size_t i = 0; i < pieces.size(); ++i) {
      sent.push_back(pieces[i]);
      if (rng() % 3 == 0) sent.push_back(pieces[i]);
      if (i > 0 && rng() % 4 == 0) {  // the previous piece and half of this one again
        Piece overlap = pieces[i - 1];
        overlap.bytes += pieces[i].bytes.substr(0, pieces[i].bytes.size() / 2);
        sent.push_back(overlap);
      }
    }
    for (size_t i = 0; i + 1 < sent.size(); ++i) {
      const size_t j = i + rng() % std::min<size_t>(6, sent.size() - i);
      std::swap(sent[i], sent[j]);
    }
    sent.push_back({isn + static_cast<uint32_t>(bytes.size()), "", kFin});
    TcpStreamReassembler r;
    Recorder out;
    r.Segment(isn - 1, {true, false, false, false}, nullptr, 0, out);
    Feed(r, sent, out);
    ASSERT_EQ(out.data.size(), bytes.size());
    EXPECT_TRUE(out.data == bytes);
    EXPECT_EQ(out.events, std::vector<std::string>{"F"});
    EXPECT_EQ(r.NextSequence(), isn + static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(r.HeldBytes(), 0u);
  }
}

// One segment never arrives: the bytes after it are held until the stream is given up
// (Flush), the peer acknowledges past it, or the window fills; then one gap of its length,
// and everything after it.
TEST_F(Reassembly, AMissingSegmentIsOneGapAndLaterBytesStillArrive) {
  const std::string& bytes = stream_.bytes;
  std::vector<size_t> cuts;
  for (size_t at = 0; at < bytes.size(); at += 500) cuts.push_back(at);
  const std::vector<Piece> pieces = Cut(First(), bytes, cuts);
  const size_t missing = 7;
  const std::string want =
      bytes.substr(0, 3500) + bytes.substr(3500 + pieces[missing].bytes.size());
  std::vector<Piece> sent = pieces;
  sent.erase(sent.begin() + missing);
  const std::vector<std::string> gap = {"G" + std::to_string(pieces[missing].bytes.size())};

  for (const char* how : {"flush", "ack", "window"}) {
    SCOPED_TRACE(how);
    TcpReassemblyLimits limits;
    if (std::string(how) == "window") limits.max_held_segments = 4;
    TcpStreamReassembler r(limits);
    Recorder out;
    Syn(r, out);
    Feed(r, sent, out);
    if (std::string(how) == "flush") {
      EXPECT_EQ(out.data, bytes.substr(0, 3500));  // held, waiting for the hole to fill
      EXPECT_GT(r.HeldBytes(), 0u);
      r.Flush(out);
    } else if (std::string(how) == "ack") {
      r.Acknowledged(First() + static_cast<uint32_t>(bytes.size()), out);
    }
    EXPECT_EQ(out.events, gap);
    EXPECT_TRUE(out.data == want) << out.data.size() << " of " << want.size();
    EXPECT_EQ(r.LostBytes(), pieces[missing].bytes.size());
    // The missing segment, retransmitted too late, is dropped.
    Feed(r, {pieces[missing]}, out);
    EXPECT_TRUE(out.data == want);
  }
}

TEST(TcpReassembly, JoinedMidwayStartsAtTheFirstSegmentSeen) {
  TcpStreamReassembler r;
  Recorder out;
  const auto seg = [&](uint32_t seq, const std::string& s, TcpFlags f = kData) {
    r.Segment(seq, f, reinterpret_cast<const uint8_t*>(s.data()), s.size(), out);
  };
  seg(5000, "");  // a bare ACK starts nothing
  EXPECT_FALSE(r.Started());
  seg(7000, "cdef");
  seg(6996, "abcd");      // before the start: only its new part would count, and it has none
  seg(7004, "ghij");
  seg(7002, "efghijkl");  // overlaps both sides
  seg(7010, "", kFin);
  seg(7010, "", kFin);    // FIN retransmitted
  seg(7010, "zz");        // data after the FIN
  EXPECT_EQ(out.data, "cdefghijkl");
  EXPECT_EQ(out.events, std::vector<std::string>{"F"});
  EXPECT_TRUE(r.Closed());
}

// Bytes held beyond a FIN that arrives later are not part of the stream.
TEST(TcpReassembly, AFinDropsWhatIsHeldBeyondIt) {
  TcpStreamReassembler r;
  Recorder out;
  const auto seg = [&](uint32_t seq, const std::string& s, TcpFlags f = kData) {
    r.Segment(seq, f, reinterpret_cast<const uint8_t*>(s.data()), s.size(), out);
  };
  seg(0, "ab");
  seg(4, "efgh");
  seg(10, "zz");
  seg(6, "", kFin);  // cuts "efgh" to "ef" and drops "zz"
  EXPECT_EQ(r.HeldBytes(), 2u);
  seg(2, "cd");
  EXPECT_EQ(out.data, "abcdef");
  EXPECT_EQ(out.events, std::vector<std::string>{"F"});
  EXPECT_EQ(r.HeldBytes(), 0u);
  EXPECT_EQ(r.HeldSegments(), 0u);
}

TEST(TcpReassembly, ResetDeliversWhatIsHeldThenANewSynStartsAnew) {
  TcpStreamReassembler r;
  Recorder out;
  const auto seg = [&](uint32_t seq, const std::string& s, TcpFlags f = kData) {
    r.Segment(seq, f, reinterpret_cast<const uint8_t*>(s.data()), s.size(), out);
  };
  seg(99, "", {true, false, false, false});
  seg(100, "abc");
  seg(110, "xyz");  // 7 bytes missing before it
  seg(113, "", {false, false, true, false});
  seg(113, "late");  // nothing after a reset
  EXPECT_EQ(out.data, "abcxyz");
  EXPECT_EQ(out.events, (std::vector<std::string>{"G7", "R"}));
  // The four-tuple used again.
  seg(900, "", {true, false, false, false});
  seg(901, "new");
  EXPECT_EQ(out.data, "abcxyznew");
  EXPECT_FALSE(r.Closed());
}

// A segment too big for the window, with a hole before it, is delivered after a gap rather
// than dropped; an acknowledgement one past the stream (a FIN the capture missed) is no gap.
TEST(TcpReassembly, OversizedSegmentAndAcknowledgementEdges) {
  TcpReassemblyLimits limits;
  limits.max_held_bytes = 8;
  TcpStreamReassembler r(limits);
  Recorder out;
  const auto seg = [&](uint32_t seq, const std::string& s) {
    r.Segment(seq, kData, reinterpret_cast<const uint8_t*>(s.data()), s.size(), out);
  };
  seg(0xfffffffe, "ab");  // joined mid-way, just before the wrap
  seg(4, "0123456789");   // 4 bytes missing (0 to 3), does not fit the window
  EXPECT_EQ(out.data, "ab0123456789");
  EXPECT_EQ(out.events, std::vector<std::string>{"G4"});
  r.Acknowledged(14, out);  // behind or at the end: nothing
  r.Acknowledged(15, out);  // one past: a FIN's sequence number
  EXPECT_EQ(out.events, std::vector<std::string>{"G4"});
  r.Acknowledged(20, out);
  EXPECT_EQ(out.events, (std::vector<std::string>{"G4", "G6"}));
  seg(20, "z");
  EXPECT_EQ(out.data, "ab0123456789z");
}

TEST(TcpReassembly, ConnectionKeyIsTheSameBothWays) {
  sniffer::TcpPacket a;
  a.source = sniffer::IpAddress::V4(0x0a000007);
  a.source_port = 40001;
  a.destination = sniffer::IpAddress::V4(0x0a000001);
  a.destination_port = 1521;
  sniffer::TcpPacket b = a;
  std::swap(b.source, b.destination);
  std::swap(b.source_port, b.destination_port);
  EXPECT_EQ(TcpConnectionKey::Of(a), TcpConnectionKey::Of(b));
  EXPECT_EQ(TcpConnectionKeyHash()(TcpConnectionKey::Of(a)),
            TcpConnectionKeyHash()(TcpConnectionKey::Of(b)));
  EXPECT_NE(TcpConnectionKey::DirectionOf(a), TcpConnectionKey::DirectionOf(b));
  // The same numbers as IPv6 bytes make another connection.
  sniffer::TcpPacket c = a;
  c.source.family = c.destination.family = 6;
  EXPECT_FALSE(TcpConnectionKey::Of(a) == TcpConnectionKey::Of(c));
}

}  // namespace
}  // namespace qx::capture
