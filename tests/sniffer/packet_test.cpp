// The frame decoder: hand-built frames of every link type, IPv4 and IPv6 with their optional
// headers, every truncation of each, address texts, and the recorded loopback captures read
// through the sniffer with their link types.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sniffer/packet.h"
#include "sniffer/sniffer.h"
#include "support/pcap_reader.h"

namespace qx::sniffer {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v >> 16));
  Put16(b, static_cast<uint16_t>(v));
}

const std::string kPayload = "hello, listener";
const uint8_t kV6Source[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x07};
const uint8_t kV6Destination[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

Bytes Tcp(int option_words = 0) {
  Bytes t;
  Put16(t, 40001);
  Put16(t, 1521);
  Put32(t, 0xfffffff0u);  // sequence
  Put32(t, 0x01020304u);  // acknowledgement
  t.push_back(static_cast<uint8_t>((5 + option_words) << 4));
  t.push_back(0x19);  // FIN PSH ACK
  Put16(t, 65535);
  Put32(t, 0);
  t.insert(t.end(), 4 * static_cast<size_t>(option_words), 1);
  t.insert(t.end(), kPayload.begin(), kPayload.end());
  return t;
}

struct V4Options {
  int option_words = 0;
  uint16_t fragment = 0x4000;  // DF
  int total_delta = 0;
  bool zero_total = false;
};

Bytes Ipv4(const Bytes& tcp, const V4Options& o = {}) {
  Bytes ip;
  ip.push_back(static_cast<uint8_t>(0x45 + o.option_words));
  ip.push_back(0);
  const int total = o.zero_total ? 0 : static_cast<int>(20 + 4 * o.option_words + tcp.size()) +
                                           o.total_delta;
  Put16(ip, static_cast<uint16_t>(total));
  Put16(ip, 7);
  Put16(ip, o.fragment);
  ip.push_back(64);
  ip.push_back(6);
  Put16(ip, 0);
  Put32(ip, 0x0a000007);
  Put32(ip, 0x0a000001);
  ip.insert(ip.end(), 4 * static_cast<size_t>(o.option_words), 1);
  ip.insert(ip.end(), tcp.begin(), tcp.end());
  return ip;
}

// IPv6 with the extension headers named by their next-header numbers, in order.
Bytes Ipv6(const Bytes& tcp, const std::vector<uint8_t>& extensions = {},
           uint16_t fragment_field = 0) {
  Bytes ext;
  for (size_t i = 0; i < extensions.size(); ++i) {
    const uint8_t next = i + 1 < extensions.size() ? extensions[i + 1] : 6;
    if (extensions[i] == 44) {
      ext.push_back(next);
      ext.push_back(0);
      Put16(ext, fragment_field);
      Put32(ext, 99);
    } else {  // 16 bytes: length field 1
      ext.push_back(next);
      ext.push_back(1);
      ext.insert(ext.end(), 14, 0);
    }
  }
  Bytes ip = {0x60, 0, 0, 0};
  Put16(ip, static_cast<uint16_t>(ext.size() + tcp.size()));
  ip.push_back(extensions.empty() ? 6 : extensions[0]);
  ip.push_back(64);
  ip.insert(ip.end(), kV6Source, kV6Source + 16);
  ip.insert(ip.end(), kV6Destination, kV6Destination + 16);
  ip.insert(ip.end(), ext.begin(), ext.end());
  ip.insert(ip.end(), tcp.begin(), tcp.end());
  return ip;
}

uint16_t EtherTypeOf(const Bytes& ip) { return (ip[0] >> 4) == 6 ? 0x86dd : 0x0800; }

Bytes Ethernet(const Bytes& ip, const std::vector<uint16_t>& tags = {}, size_t trailer = 0) {
  Bytes f(12, 0x02);
  for (uint16_t tpid : tags) {
    Put16(f, tpid);
    Put16(f, 100);
  }
  Put16(f, EtherTypeOf(ip));
  f.insert(f.end(), ip.begin(), ip.end());
  f.insert(f.end(), trailer, 0xee);
  return f;
}

Bytes Sll(const Bytes& ip) {
  Bytes f;
  Put16(f, 0);  // packet type: to us
  Put16(f, 772);  // ARPHRD_LOOPBACK
  Put16(f, 6);
  f.insert(f.end(), 8, 0);
  Put16(f, EtherTypeOf(ip));
  f.insert(f.end(), ip.begin(), ip.end());
  return f;
}

Bytes Sll2(const Bytes& ip) {
  Bytes f;
  Put16(f, EtherTypeOf(ip));
  Put16(f, 0);
  Put32(f, 1);  // interface index
  Put16(f, 772);
  f.push_back(0);
  f.push_back(6);
  f.insert(f.end(), 8, 0);
  f.insert(f.end(), ip.begin(), ip.end());
  return f;
}

// BSD loopback: the address family in host order (null) or network order (loop).
Bytes Loopback(const Bytes& ip, bool network_order, uint32_t v6_family = 30) {
  const uint32_t family = (ip[0] >> 4) == 6 ? v6_family : 2;
  Bytes f;
  if (network_order) {
    Put32(f, family);
  } else {
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(family >> (8 * i)));
  }
  f.insert(f.end(), ip.begin(), ip.end());
  return f;
}

struct Case {
  std::string name;
  int link_type;
  Bytes frame;
  bool tcp;            // decodes as TCP
  int version = 4;
  size_t wire_payload = 0;  // expected announced payload (the payload length when 0)
};

std::vector<Case> Table() {
  const Bytes tcp = Tcp();
  const Bytes v4 = Ipv4(tcp);
  const Bytes v6 = Ipv6(tcp);
  std::vector<Case> cases = {
      {"ethernet v4", kLinkEthernet, Ethernet(v4), true},
      {"ethernet v6", kLinkEthernet, Ethernet(v6), true, 6},
      {"802.1Q", kLinkEthernet, Ethernet(v4, {0x8100}), true},
      {"802.1ad + 802.1Q", kLinkEthernet, Ethernet(v6, {0x88a8, 0x8100}), true, 6},
      {"old QinQ", kLinkEthernet, Ethernet(v4, {0x9100, 0x8100}), true},
      {"FCS trailer", kLinkEthernet, Ethernet(v4, {}, 4), true},
      {"sll v4", kLinkLinuxSll, Sll(v4), true},
      {"sll v6", kLinkLinuxSll, Sll(v6), true, 6},
      {"sll2 v4", kLinkLinuxSll2, Sll2(v4), true},
      {"sll2 v6", kLinkLinuxSll2, Sll2(v6), true, 6},
      {"null v4", kLinkNull, Loopback(v4, false), true},
      {"null v6 (linux family)", kLinkNull, Loopback(v6, false, 10), true, 6},
      {"loop v4", kLinkLoop, Loopback(v4, true), true},
      {"loop v6 (freebsd family)", kLinkLoop, Loopback(v6, true, 28), true, 6},
      {"raw v4", kLinkRaw, v4, true},
      {"raw v6 (openbsd)", kLinkRawOpenBsd, v6, true, 6},
      {"raw file type", kLinkRawFile, v6, true, 6},
      {"ipv4 type", kLinkIpv4, v4, true},
      {"ipv6 type", kLinkIpv6, v6, true, 6},
      {"ip options, tcp options", kLinkEthernet, Ethernet(Ipv4(Tcp(3), {2})), true},
      {"v4 first fragment", kLinkEthernet, Ethernet(Ipv4(tcp, {0, 0x2000})), true},
      {"v6 hop-by-hop, routing, destination", kLinkEthernet, Ethernet(Ipv6(tcp, {0, 43, 60})),
       true, 6},
      {"v6 first fragment", kLinkRaw, Ipv6(tcp, {0, 44}, 0x0001), true, 6},
      // Not TCP.
      {"v4 later fragment", kLinkEthernet, Ethernet(Ipv4(tcp, {0, 0x00b9})), false},
      {"v6 later fragment", kLinkRaw, Ipv6(tcp, {44}, 0x05c8), false},
      {"v6 no next header", kLinkRaw, Ipv6(tcp, {59}), false},
      {"total ends in the headers", kLinkEthernet,
       Ethernet(Ipv4(tcp, {0, 0x4000, -static_cast<int>(kPayload.size()) - 1})), false},
      {"unknown link type", 147, v4, false},
      {"ARP", kLinkEthernet, [] { Bytes f(12, 2); Put16(f, 0x0806); f.resize(42); return f; }(),
       false},
      {"loop, unknown family", kLinkLoop,
       [&] { Bytes f = Loopback(v4, true); f[3] = 99; return f; }(), false},
      {"raw, version 5", kLinkRaw, [&] { Bytes f = v4; f[0] = 0x55; return f; }(), false},
      {"sll, IPX", kLinkLinuxSll,
       [&] { Bytes f = Sll(v4); f[14] = 0x81; f[15] = 0x37; return f; }(), false},
  };
  // The offloaded total length 0 reads to the captured end.
  Case offload{"total length 0", kLinkEthernet, Ethernet(Ipv4(tcp, {0, 0x4000, 0, true})), true};
  cases.push_back(offload);
  return cases;
}

TEST(FrameDecoder, EveryLinkTypeAndIpVersion) {
  for (const Case& c : Table()) {
    SCOPED_TRACE(c.name);
    TcpPacket p;
    ASSERT_EQ(DecodeTcpPacket(c.link_type, c.frame.data(), c.frame.size(), &p), c.tcp);
    if (!c.tcp) continue;
    if (c.version == 4) {
      EXPECT_EQ(p.source.Text(), "10.0.0.7");
      EXPECT_EQ(p.destination.V4Number(), 0x0a000001u);
    } else {
      EXPECT_EQ(p.source.Text(), "2001:db8::7");
      EXPECT_EQ(p.destination.Text(), "2001:db8:1::1");
    }
    EXPECT_EQ(p.source_port, 40001);
    EXPECT_EQ(p.destination_port, 1521);
    EXPECT_EQ(p.sequence, 0xfffffff0u);
    EXPECT_EQ(p.acknowledgement, 0x01020304u);
    EXPECT_TRUE(p.flags.fin && p.flags.ack && !p.flags.syn && !p.flags.rst);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.payload), p.payload_length), kPayload);
    EXPECT_EQ(p.payload_wire_length, kPayload.size());
    EXPECT_EQ(p.payload + p.payload_length, c.frame.data() + p.payload_offset + kPayload.size());
  }
}

// Each frame cut at every length, in a buffer of exactly that size (the sanitizer builds see
// any read past it): headers cut give "not TCP", a cut payload gives what was captured.
TEST(FrameDecoder, EveryTruncation) {
  for (const Case& c : Table()) {
    SCOPED_TRACE(c.name);
    TcpPacket whole;
    const bool tcp = DecodeTcpPacket(c.link_type, c.frame.data(), c.frame.size(), &whole);
    for (size_t n = 0; n <= c.frame.size(); ++n) {
      auto exact = std::make_unique<uint8_t[]>(n ? n : 1);
      std::copy(c.frame.begin(), c.frame.begin() + n, exact.get());
      TcpPacket p;
      const bool ok = DecodeTcpPacket(c.link_type, exact.get(), n, &p);
      if (!tcp) {
        EXPECT_FALSE(ok) << n;
        continue;
      }
      ASSERT_EQ(ok, n >= whole.payload_offset) << n;
      if (!ok) continue;
      EXPECT_EQ(p.payload, exact.get() + whole.payload_offset);
      const size_t present = n - whole.payload_offset;
      if (c.name == "total length 0") {
        EXPECT_EQ(p.payload_length, present);
        EXPECT_EQ(p.payload_wire_length, present);
      } else {
        EXPECT_EQ(p.payload_length, std::min(present, kPayload.size())) << n;
        EXPECT_EQ(p.payload_wire_length, kPayload.size());
      }
    }
  }
  TcpPacket p;
  EXPECT_FALSE(DecodeTcpPacket(kLinkEthernet, nullptr, 100, &p));
}

TEST(FrameDecoder, AddressTexts) {
  const auto v6 = [](std::initializer_list<uint16_t> groups) {
    uint8_t b[16];
    int i = 0;
    for (uint16_t g : groups) {
      b[i++] = static_cast<uint8_t>(g >> 8);
      b[i++] = static_cast<uint8_t>(g);
    }
    return IpAddress::V6(b).Text();
  };
  EXPECT_EQ(v6({0, 0, 0, 0, 0, 0, 0, 1}), "::1");
  EXPECT_EQ(v6({0, 0, 0, 0, 0, 0, 0, 0}), "::");
  EXPECT_EQ(v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), "2001:db8::1");
  EXPECT_EQ(v6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1");  // one 0 stays
  EXPECT_EQ(v6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1");   // first of equals
  EXPECT_EQ(v6({0x2001, 0, 0, 1, 0, 0, 0, 1}), "2001:0:0:1::1");           // the longest
  EXPECT_EQ(v6({0xfe80, 0, 0, 0, 0xABCD, 0x0ef0, 0x12, 0}), "fe80::abcd:ef0:12:0");
  EXPECT_EQ(v6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x0201}), "::ffff:192.0.2.1");
  EXPECT_EQ(IpAddress::V4(0xC0A80001).Text(), "192.168.0.1");
  EXPECT_EQ(IpAddress::V4(0xFF0A6409).Text(), "255.10.100.9");
  EXPECT_EQ(IpAddress().Text(), "");
  EXPECT_LT(IpAddress::V4(0xffffffff), IpAddress::V6(kV6Source));  // family first
}

// The loopback captures recorded with tcpdump: the sniffer reports each file's link type and
// delivers every frame as a segment; the fixed-offset Ethernet handlers stay silent on the
// cooked ones.
TEST(FrameDecoder, RecordedLoopbackCapturesThroughTheSniffer) {
  struct File {
    const char* name;
    int link_type;
    const char* address;
  };
  for (const File& f : {File{"python_thin_any_sll2.pcap", kLinkLinuxSll2, "127.0.0.1"},
                        File{"python_thin_any_sll.pcap", kLinkLinuxSll, "127.0.0.1"},
                        File{"python_thin_ipv6.pcap", kLinkEthernet, "::1"}}) {
    SCOPED_TRACE(f.name);
    const std::string path = testsupport::CapturesDirectory() + "/" + f.name;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not there";
    TSniffer sniffer;
    int segments = 0, typed = 0, frames = 0, link_seen = -1;
    size_t payload = 0;
    bool addresses = true;
    sniffer.OnCaptureFrame = [&](TSniffer*, PTpcap_pkthdr, int link_type, const uint8_t*) {
      ++frames;
      link_seen = link_type;
    };
    sniffer.OnCaptureTCP = [&](TSniffer*, PTpcap_pkthdr, PTCPPckt) { ++typed; };
    sniffer.OnCaptureSegment = [&](TSniffer*, PTpcap_pkthdr, const TcpPacket& p) {
      ++segments;
      payload += p.payload_length;
      addresses = addresses && p.source.Text() == f.address &&
                  p.destination.Text() == f.address;
    };
    sniffer.SetCaptureFile(path);
    ASSERT_EQ(sniffer.StartCapture(), 0);
    ASSERT_TRUE(sniffer.WaitForCaptureEnd(10000));
    EXPECT_EQ(sniffer.LinkType(), f.link_type);
    EXPECT_EQ(link_seen, f.link_type);
    EXPECT_EQ(frames, 55);
    EXPECT_EQ(segments, 55);
    EXPECT_EQ(typed, 0);  // cooked frames are not Ethernet; the IPv6 ones have no byte 23 = 6
    EXPECT_TRUE(addresses);
    EXPECT_GT(payload, 15000u);
  }
}

}  // namespace
}  // namespace qx::sniffer
