// Real captures: the loopback interface as root, and recorded Oracle sessions read from file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "sniffer/sniffer.h"
#include "support/pcap_reader.h"

namespace qx::sniffer {
namespace {

using Clock = std::chrono::steady_clock;

int DeviceIndexOf(const TSniffer& sniffer, const std::string& name) {
  for (int i = 0; i < sniffer.DeviceCount(); ++i) {
    if (sniffer.Device(i).Name == name) return i;
  }
  return -1;
}

class LiveCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "live capture needs root";
    lo_ = DeviceIndexOf(sniffer_, "lo");
    ASSERT_GE(lo_, 0);
    sniffer_.SetDeviceIndex(lo_);
  }
  // Milliseconds StopCapture took.
  long TimedStop(int* result) {
    const auto start = Clock::now();
    *result = sniffer_.StopCapture();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }
  TSniffer sniffer_;
  int lo_ = -1;
};

TEST_F(LiveCapture, LoopbackIsListedWithItsIPv4Address) {
  EXPECT_EQ(sniffer_.DeviceAddress(), "127.0.0.1");
  EXPECT_EQ(sniffer_.DeviceMask(), "255.0.0.0");
  EXPECT_EQ(sniffer_.Device(lo_).Address, 0x7F000001u);
}

struct Seen {
  uint16_t from_port, to_port;
  uint8_t flags;
  std::string payload;
  uint32_t from_address, to_address;
};

// A loopback connection made while the sniffer watches: each of its segments must arrive
// once, with its addresses and ports.
TEST_F(LiveCapture, DeliversEachSegmentOfALoopbackConnectionOnce) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const uint16_t server_port = ntohs(addr.sin_port);

  std::mutex mutex;
  std::vector<Seen> seen;
  std::set<std::tuple<uint16_t, uint16_t, uint32_t, uint32_t, uint8_t, size_t>> distinct;
  int duplicates = 0;
  sniffer_.OnCaptureTCP = [&](TSniffer*, PTpcap_pkthdr h, PTCPPckt data) {
    TcpSegment s;
    if (!ParseTcpFrame(h, reinterpret_cast<const uint8_t*>(data), &s)) return;
    if (s.source_port != server_port && s.destination_port != server_port) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (!distinct.emplace(s.source_port, s.destination_port, s.sequence, s.acknowledgement,
                          s.flags, s.payload_length).second) {
      ++duplicates;
    }
    seen.push_back({s.source_port, s.destination_port, s.flags,
                    std::string(reinterpret_cast<const char*>(s.payload), s.payload_length),
                    s.source_address, s.destination_address});
  };
  // The default 68 bytes would cut off SYN options and most payloads.
  sniffer_.SetCaptureLength(262144);
  ASSERT_EQ(sniffer_.StartCapture(), 0);

  const int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  sockaddr_in client_addr{};
  len = sizeof client_addr;
  getsockname(client, reinterpret_cast<sockaddr*>(&client_addr), &len);
  const uint16_t client_port = ntohs(client_addr.sin_port);
  const int server = accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  const std::string request = "request-from-client", reply = "reply-from-server";
  ASSERT_EQ(write(client, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  char buffer[64];
  ASSERT_EQ(read(server, buffer, sizeof buffer), static_cast<ssize_t>(request.size()));
  ASSERT_EQ(write(server, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
  ASSERT_EQ(read(client, buffer, sizeof buffer), static_cast<ssize_t>(reply.size()));
  close(client);
  close(server);
  close(listener);

  // Wait for both FINs to come through the capture.
  auto fins = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const Seen& s : seen) n += (s.flags & kTcpFin) ? 1 : 0;
    return n;
  };
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (fins() < 2 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int result = -1;
  TimedStop(&result);
  EXPECT_EQ(result, 0);

  EXPECT_EQ(duplicates, 0);
  int syn = 0, syn_ack = 0, requests = 0, replies = 0;
  for (const Seen& s : seen) {
    EXPECT_EQ(s.from_address, 0x7F000001u);
    EXPECT_EQ(s.to_address, 0x7F000001u);
    const bool upstream = s.from_port == client_port && s.to_port == server_port;
    const bool downstream = s.from_port == server_port && s.to_port == client_port;
    EXPECT_TRUE(upstream || downstream) << s.from_port << " -> " << s.to_port;
    if (upstream && (s.flags & (kTcpSyn | kTcpAck)) == kTcpSyn) ++syn;
    if (downstream && (s.flags & (kTcpSyn | kTcpAck)) == (kTcpSyn | kTcpAck)) ++syn_ack;
    if (upstream && s.payload == request) ++requests;
    if (downstream && s.payload == reply) ++replies;
  }
  EXPECT_EQ(syn, 1);
  EXPECT_EQ(syn_ack, 1);
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(replies, 1);
  EXPECT_EQ(fins(), 2);
}

// Nothing passes the kernel filter, so the capture is truly idle when it is stopped.
TEST_F(LiveCapture, StopEndsAnIdleCapturePromptlyAndAgainAfterARestart) {
  sniffer_.SetFilterString("udp port 9 and host 127.0.0.254");
  sniffer_.SetFiltered(true);
  ASSERT_TRUE(sniffer_.Filtered());
  TCaptureEnd reason = ceError;
  sniffer_.OnCapture = [](PTpcap_pkthdr, const uint8_t*) {};
  sniffer_.OnCaptureEnd = [&](TSniffer*, TCaptureEnd r) { reason = r; };
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(sniffer_.StartCapture(), 0) << round;
    EXPECT_EQ(sniffer_.StartCapture(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(sniffer_.Capturing());
    int result = -1;
    const long ms = TimedStop(&result);
    EXPECT_LT(ms, 1000) << round;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(reason, ceStopped);
    EXPECT_FALSE(sniffer_.Capturing());
    EXPECT_EQ(sniffer_.StopCapture(), 1);
  }
  // Stopped at once, before the thread may even have entered the capture loop.
  ASSERT_EQ(sniffer_.StartCapture(), 0);
  int result = -1;
  EXPECT_LT(TimedStop(&result), 1000);
  EXPECT_EQ(result, 0);
}

TEST_F(LiveCapture, CaptureLengthReadsWhatTheLibraryGranted) {
  sniffer_.OnCapture = [](PTpcap_pkthdr, const uint8_t*) {};
  sniffer_.SetCaptureLength(0);  // libpcap takes 0 as "its largest"
  ASSERT_EQ(sniffer_.StartCapture(), 0);
  EXPECT_EQ(sniffer_.CaptureLength(), 262144);
  EXPECT_EQ(sniffer_.StopCapture(), 0);
}


struct FrameKey {
  long seconds, micros;
  uint32_t captured, length;
  bool operator==(const FrameKey&) const = default;
};

// The TCP frames of a file as libpcap's own "tcp" filter sees them, in file order.
std::vector<FrameKey> TcpFramesOf(const std::string& path) {
  std::vector<FrameKey> keys;
  char errors[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), errors);
  EXPECT_NE(p, nullptr) << errors;
  if (!p) return keys;
  bpf_program program;
  EXPECT_EQ(pcap_compile(p, &program, "tcp", 1, PCAP_NETMASK_UNKNOWN), 0);
  pcap_pkthdr* header;
  const u_char* data;
  while (pcap_next_ex(p, &header, &data) == 1) {
    if (pcap_offline_filter(&program, header, data)) {
      keys.push_back({header->ts.tv_sec, header->ts.tv_usec, header->caplen, header->len});
    }
  }
  pcap_freecode(&program);
  pcap_close(p);
  return keys;
}

TEST(FileCapture, DeliversEveryTcpFrameOfARecordedSessionInOrder) {
  for (const char* name : {"Oracle-good.pcap", "7_oracle10_2016.pcapng"}) {
    const std::string path = testsupport::CapturesDirectory() + "/" + name;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not there";
    const std::vector<FrameKey> expected = TcpFramesOf(path);
    ASSERT_GT(expected.size(), 10u) << name;

    TSniffer sniffer;
    std::vector<FrameKey> delivered;  // written on the capture thread, read after it ended
    sniffer.OnCaptureTCP = [&](TSniffer*, PTpcap_pkthdr h, PTCPPckt) {
      delivered.push_back({h->ts.tv_sec, h->ts.tv_usec, h->caplen, h->len});
    };
    sniffer.SetCaptureFile(path);
    ASSERT_EQ(sniffer.StartCapture(), 0) << name;
    ASSERT_TRUE(sniffer.WaitForCaptureEnd(10000)) << name;
    EXPECT_EQ(delivered, expected) << name;
  }
}

}  // namespace
}  // namespace qx::sniffer
