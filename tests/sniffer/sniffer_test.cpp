// The sniffer's property rules, its interface entries, and how it raises events for frames,
// fed from capture files written by the test.
#include <gtest/gtest.h>
#include "support/net_headers.h"
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "sniffer/sniffer.h"
#include "support/test_util.h"

namespace qx::sniffer {
namespace {

// The interface these tests select: Linux's loopback, or the one interface of the stand-in
// capture library that the Windows suite runs with.
#ifdef _WIN32
constexpr const char* kLoopback = "\\Device\\NPF_{QX-STANDIN}";
// The stand-in interface opens only with a capture file behind it.
struct OpenableInterface {
  OpenableInterface() {
    _putenv_s("QX_WPCAP_FILE", QX_SOURCE_DIR "/tests/data/captures/Oracle-good.pcap");
  }
  ~OpenableInterface() { _putenv_s("QX_WPCAP_FILE", ""); }
};
#else
constexpr const char* kLoopback = "lo";
struct OpenableInterface {};
#endif

int IndexOf(const TSniffer& sniffer, const std::string& name) {
  for (int i = 0; i < sniffer.DeviceCount(); ++i) {
    if (sniffer.Device(i).Name == name) return i;
  }
  return -1;
}

sockaddr_in In4(uint32_t address) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(address);
  return in;
}

TEST(Sniffer, InterfaceTakesItsFirstIPv4AddressEntry) {
  TSniffer sniffer;
  const int listed = sniffer.DeviceCount();

  // Linux lists link-layer and IPv6 entries before (and after) the IPv4 ones.
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  std::memset(&v6.sin6_addr, 0xAB, sizeof v6.sin6_addr);
  sockaddr_in first = In4(0x0A010203), mask = In4(0xFFFF0000), bcast = In4(0x0A01FFFF);
  sockaddr_in second = In4(0x0A090909);
  pcap_addr_t a3{nullptr, reinterpret_cast<sockaddr*>(&second), nullptr, nullptr, nullptr};
  pcap_addr_t a2{&a3, reinterpret_cast<sockaddr*>(&first), reinterpret_cast<sockaddr*>(&mask),
                 reinterpret_cast<sockaddr*>(&bcast), nullptr};
  pcap_addr_t a1{&a2, reinterpret_cast<sockaddr*>(&v6), nullptr, nullptr, nullptr};
  char name1[] = "eth7", desc1[] = "test interface";
  pcap_if_t with_v4{nullptr, name1, desc1, &a1, 0};
  sniffer.AddDevice(&with_v4);

  pcap_addr_t only_v6{nullptr, reinterpret_cast<sockaddr*>(&v6), nullptr, nullptr, nullptr};
  char name2[] = "tun9";
  pcap_if_t without_v4{nullptr, name2, nullptr, &only_v6, 0};
  sniffer.AddDevice(&without_v4);

  ASSERT_EQ(sniffer.DeviceCount(), listed + 2);
  const TInterface& d1 = sniffer.Device(listed);
  EXPECT_EQ(d1.Name, "eth7");
  EXPECT_EQ(d1.Description, "test interface");
  EXPECT_EQ(d1.Address, 0x0A010203u);
  EXPECT_EQ(d1.Netmask, 0xFFFF0000u);
  EXPECT_EQ(d1.Broadcast, 0x0A01FFFFu);
  const TInterface& d2 = sniffer.Device(listed + 1);
  EXPECT_EQ(d2.Description, "");
  EXPECT_EQ(d2.Address, 0u);
  EXPECT_EQ(d2.Netmask, 0u);

  sniffer.SetDeviceIndex(listed);
  EXPECT_EQ(sniffer.DeviceName(), "eth7");
  EXPECT_EQ(sniffer.DeviceAddress(), "10.1.2.3");
  EXPECT_EQ(sniffer.DeviceMask(), "255.255.0.0");
}

TEST(Sniffer, DeviceIndexSelectsAndRefuses) {
  const OpenableInterface openable;
  TSniffer sniffer;
  ASSERT_GT(sniffer.DeviceCount(), 0);
  EXPECT_EQ(sniffer.DeviceIndex(), 0);
  EXPECT_EQ(sniffer.DeviceName(), sniffer.Device(0).Name);
  const int lo = IndexOf(sniffer, kLoopback);
  ASSERT_GE(lo, 0);
  sniffer.SetDeviceIndex(lo);
  sniffer.SetFilterString("tcp");
  sniffer.SetFiltered(true);
  ASSERT_TRUE(sniffer.Filtered());

  sniffer.SetDeviceIndex(lo);  // same value: nothing changes
  EXPECT_TRUE(sniffer.Filtered());

  for (int bad : {sniffer.DeviceCount(), -1, -7, 1 << 30}) {
    sniffer.SetDeviceIndex(lo);
    sniffer.SetFiltered(true);
    sniffer.SetDeviceIndex(bad);
    EXPECT_EQ(sniffer.DeviceIndex(), -1) << bad;
    EXPECT_EQ(sniffer.DeviceName(), "Invalid interface");
    EXPECT_EQ(sniffer.DeviceDescription(), "Invalid interface");
    EXPECT_EQ(sniffer.DeviceAddress(), "0.0.0.0");
    EXPECT_EQ(sniffer.DeviceMask(), "0.0.0.0");
    EXPECT_FALSE(sniffer.Filtered());
  }
}

TEST(Sniffer, FilterStringAndProtocolFollowEachOther) {
  const OpenableInterface openable;
  TSniffer sniffer;
  sniffer.SetDeviceIndex(IndexOf(sniffer, kLoopback));
  EXPECT_EQ(sniffer.CaptureProtocol(), pAny);
  EXPECT_EQ(sniffer.FilterString(), "");

  sniffer.SetCaptureProtocol(pTCP);
  EXPECT_EQ(sniffer.FilterString(), "tcp");
  sniffer.SetFiltered(true);
  ASSERT_TRUE(sniffer.Filtered());
  sniffer.SetFilterString("tcp");  // same text: nothing changes
  EXPECT_EQ(sniffer.CaptureProtocol(), pTCP);
  EXPECT_TRUE(sniffer.Filtered());

  sniffer.SetFilterString("TCP");  // differs as written: stored lower-cased, the rest follows
  EXPECT_EQ(sniffer.FilterString(), "tcp");
  EXPECT_EQ(sniffer.CaptureProtocol(), pAny);
  EXPECT_FALSE(sniffer.Filtered());

  const std::pair<TProto, const char*> table[] = {
      {pIP, "ip"}, {pUDP, "udp"}, {pICMP, "icmp"}, {pArp, "arp"}, {pTCP, "tcp"}, {pAny, ""}};
  for (const auto& [protocol, text] : table) {
    sniffer.SetFiltered(true);
    sniffer.SetCaptureProtocol(protocol);
    EXPECT_EQ(sniffer.FilterString(), text);
    EXPECT_FALSE(sniffer.Filtered());
  }

  sniffer.SetFilterString("Port 1521 AND Host 127.0.0.1");
  EXPECT_EQ(sniffer.FilterString(), "port 1521 and host 127.0.0.1");
  sniffer.SetFilterString("this is (not a filter");
  sniffer.SetFiltered(true);
  EXPECT_FALSE(sniffer.Filtered());
}

// Writes a pcap file of Ethernet frames, each cut to its own captured length.
class FrameFile {
 public:
  struct Frame {
    std::vector<uint8_t> bytes;
    uint32_t captured;
  };
  explicit FrameFile(const std::vector<Frame>& frames) {
    path_ = dir_.File("frames.pcap");
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path_.c_str());
    EXPECT_NE(dumper, nullptr);
    uint32_t second = 1000;
    for (const Frame& f : frames) {
      pcap_pkthdr header{};
      header.ts.tv_sec = second++;
      header.caplen = f.captured;
      header.len = static_cast<uint32_t>(f.bytes.size());
      pcap_dump(reinterpret_cast<u_char*>(dumper), &header, f.bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
  }
  ~FrameFile() = default;
  const std::string& path() const { return path_; }

 private:
  test::TempDir dir_;
  std::string path_;
};

std::vector<uint8_t> Ipv4Frame(uint8_t protocol, uint16_t ether_type = 0x0800) {
  std::vector<uint8_t> f(60, 0);
  f[12] = static_cast<uint8_t>(ether_type >> 8);
  f[13] = static_cast<uint8_t>(ether_type);
  f[14] = 0x45;
  f[17] = 46;  // IP total length: 20 + 20 TCP + 6 payload
  f[23] = protocol;
  f[26] = 127, f[29] = 1, f[30] = 127, f[33] = 2;
  f[34] = 0x30, f[35] = 0x39;  // source port 12345
  f[36] = 0x05, f[37] = 0xF1;  // destination port 1521
  f[46] = 0x50;
  f[47] = kTcpAck | kTcpPsh;
  std::memcpy(&f[54], "abcdef", 6);
  return f;
}

// Records which event saw which frame (by its time stamp), in order.
struct EventLog {
  std::mutex mutex;
  std::vector<std::string> entries;
  void Add(const char* event, PTpcap_pkthdr header) {
    std::lock_guard<std::mutex> lock(mutex);
    entries.push_back(std::string(event) + std::to_string(header->ts.tv_sec - 1000));
  }
};

void AssignAll(TSniffer* sniffer, EventLog* log) {
  sniffer->OnCapture = [log](PTpcap_pkthdr h, const uint8_t*) { log->Add("any", h); };
  sniffer->OnCaptureIP = [log](PTpcap_pkthdr h, PIPPckt) { log->Add("ip", h); };
  sniffer->OnCaptureTCP = [log](TSniffer*, PTpcap_pkthdr h, PTCPPckt) { log->Add("tcp", h); };
  sniffer->OnCaptureUDP = [log](PTpcap_pkthdr h, PUDPPckt) { log->Add("udp", h); };
}

TEST(Sniffer, EventsFollowTheFrameBytesWithinTheCapturedLength) {
  const std::vector<uint8_t> tcp = Ipv4Frame(6);
  FrameFile file({
      {tcp, 60},                       // 0: any, ip, tcp
      {Ipv4Frame(6, 0x86DD), 60},      // 1: byte 23 alone decides TCP: any, tcp
      {Ipv4Frame(17), 60},             // 2: any, ip, udp
      {tcp, 23},                       // 3: protocol byte not captured: any, ip
      {tcp, 13},                       // 4: EtherType not captured: any
      {tcp, 0},                        // 5: any
      {tcp, 24},                       // 6: any, ip, tcp (ParseTcpFrame refuses it)
  });
  TSniffer sniffer;
  EventLog log;
  AssignAll(&sniffer, &log);
  int parsed = 0, refused = 0;
  sniffer.OnCaptureTCP = [&](TSniffer* sender, PTpcap_pkthdr h, PTCPPckt data) {
    EXPECT_EQ(sender, &sniffer);
    log.Add("tcp", h);
    TcpSegment s;
    if (!ParseTcpFrame(h, reinterpret_cast<const uint8_t*>(data), &s)) {
      ++refused;
      return;
    }
    ++parsed;
    EXPECT_EQ(IPToStr(s.source_address), "127.0.0.1");
    EXPECT_EQ(s.destination_port, 1521);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.payload), s.payload_length),
              "abcdef");  // the Ethernet padding after the IP total length is not payload
  };
  TCaptureEnd end_reason = ceError;
  sniffer.OnCaptureEnd = [&](TSniffer*, TCaptureEnd reason) { end_reason = reason; };
  sniffer.SetCaptureFile(file.path());
  ASSERT_EQ(sniffer.StartCapture(), 0);
  ASSERT_TRUE(sniffer.WaitForCaptureEnd(5000));
  EXPECT_FALSE(sniffer.Capturing());
  EXPECT_EQ(end_reason, ceFileEnd);
  const std::vector<std::string> expected = {"any0", "ip0", "tcp0", "any1", "tcp1",
                                             "any2", "ip2", "udp2", "any3", "ip3",
                                             "any4", "any5", "any6", "ip6", "tcp6"};
  EXPECT_EQ(log.entries, expected);
  EXPECT_EQ(parsed, 1);   // frame 0
  EXPECT_EQ(refused, 2);  // frame 1 is not IPv4, frame 6 lacks most of its TCP header
}

TEST(Sniffer, AFailingHandlerDoesNotStopTheCapture) {
  FrameFile file({{Ipv4Frame(6), 60}, {Ipv4Frame(6), 60}, {Ipv4Frame(6), 60}});
  TSniffer sniffer;
  int seen = 0;
  sniffer.OnCaptureTCP = [&](TSniffer*, PTpcap_pkthdr, PTCPPckt) {
    ++seen;
    throw std::runtime_error("handler failure in a test");
  };
  sniffer.SetCaptureFile(file.path());
  ASSERT_EQ(sniffer.StartCapture(), 0);
  ASSERT_TRUE(sniffer.WaitForCaptureEnd(5000));
  EXPECT_EQ(seen, 3);
}

TEST(Sniffer, StartAndStopResults) {
  FrameFile file({{Ipv4Frame(6), 60}});
  TSniffer sniffer;
  sniffer.SetCaptureFile(file.path());
  EXPECT_EQ(sniffer.StartCapture(), 2);  // no event assigned
  EXPECT_FALSE(sniffer.Capturing());
  EXPECT_EQ(sniffer.StopCapture(), 1);

  int frames = 0;
  sniffer.OnCaptureUDP = [&](PTpcap_pkthdr, PUDPPckt) {};
  sniffer.OnCapture = [&](PTpcap_pkthdr, const uint8_t*) { ++frames; };
  sniffer.SetCaptureFile("/nonexistent/qx.pcap");
  EXPECT_EQ(sniffer.StartCapture(), 3);
  sniffer.SetCaptureFile("");
  sniffer.SetDeviceIndex(-1);
  EXPECT_EQ(sniffer.StartCapture(), 3);  // no interface selected

  // A file that ended keeps its handle until StopCapture releases it; then it runs again.
  sniffer.SetCaptureFile(file.path());
  ASSERT_EQ(sniffer.StartCapture(), 0);
  ASSERT_TRUE(sniffer.WaitForCaptureEnd(5000));
  EXPECT_EQ(sniffer.StartCapture(), 1);
  EXPECT_EQ(sniffer.StopCapture(), 1);
  ASSERT_EQ(sniffer.StartCapture(), 0);
  ASSERT_TRUE(sniffer.WaitForCaptureEnd(5000));
  EXPECT_EQ(frames, 2);
  EXPECT_TRUE(sniffer.WaitForCaptureEnd(0));
  // Destroyed holding an ended capture: released without a StopCapture.
}

}  // namespace
}  // namespace qx::sniffer
