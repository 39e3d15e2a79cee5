// Tests of the Oracle Net test peer (build/qxpeer), run as the separate program it is: every
// recorded session replays byte-identical directly and through socat, generated sessions of
// both framings pass through socat, and relays that damage traffic in different ways are
// caught, with the position of the damage in the report.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include "support/qxpeer_runner.h"

namespace {

using qx::testing::FreePort;
using qx::testing::PeerProcess;
using qx::testing::Socat;
using Outcome = qx::testing::PeerOutcome;

const std::string kCaptures = qx::testing::CapturesDir();

Outcome RunPeer(const std::string& args) { return qx::testing::RunPeer(args); }
std::string At(uint16_t port) { return qx::testing::Loopback(port); }

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

int LoopbackSocket(uint16_t port, bool listening) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const int rc = listening ? bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa)
                           : connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (rc != 0 || (listening && listen(fd, 16) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

// A one-connection relay that damages the traffic in a chosen way.
class TamperRelay {
 public:
  enum class Mode {
    kFlipToServer,   // inverts byte `at` of the client's stream
    kFlipToClient,   // inverts byte `at` of the server's stream
    kCutToClient,    // closes both connections after `at` bytes of the server's stream
    kExtraToClient,  // adds one byte after the server's stream has ended
    kNoTarget,       // accepts the client and never connects onwards
    kRecord,         // relays faithfully and keeps a copy of both streams
  };

  TamperRelay(Mode mode, uint64_t at, uint16_t target) : mode_(mode), at_(at), target_(target) {
    listen_fd_ = LoopbackSocket(0, true);
    port_ = BoundPort(listen_fd_);
    thread_ = std::thread([this] { Run(); });
  }
  ~TamperRelay() {
    Stop();
    close(listen_fd_);
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  uint16_t port() const { return port_; }
  // The bytes relayed from the client (0) and from the server (1); stops the relay, so call it
  // once the peer is done.
  const std::string& Stream(int from) {
    Stop();
    return recorded_[from];
  }
  // The sizes of the relay's reads from the client (0) and the server (1); stops the relay.
  const std::vector<size_t>& Reads(int from) {
    Stop();
    return reads_[from];
  }

 private:
  bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (!stop_)
      if (poll(&p, 1, 50) > 0) return true;
    return false;
  }

  void Run() {
    if (!WaitReadable(listen_fd_)) return;
    const int client = accept(listen_fd_, nullptr, nullptr);
    if (client < 0) return;
    if (mode_ == Mode::kNoTarget) {
      while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      close(client);
      return;
    }
    const int server = LoopbackSocket(target_, false);
    if (server < 0) {
      close(client);
      return;
    }
    const int fds[2] = {client, server};
    bool open[2] = {true, true};  // reading side still open
    uint64_t count[2] = {0, 0};   // bytes read from each
    char buf[16384];
    while (!stop_ && (open[0] || open[1])) {
      pollfd p[2] = {{open[0] ? client : -1, POLLIN, 0}, {open[1] ? server : -1, POLLIN, 0}};
      if (poll(p, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = recv(fds[i], buf, sizeof buf, 0);
        const int to = fds[1 - i];
        if (n <= 0) {
          open[i] = false;
          if (i == 1 && mode_ == Mode::kExtraToClient) send(client, "X", 1, MSG_NOSIGNAL);
          shutdown(to, SHUT_WR);
          continue;
        }
        const uint64_t first = count[i];
        count[i] += static_cast<uint64_t>(n);
        const bool flip = (i == 0 && mode_ == Mode::kFlipToServer) || (i == 1 && mode_ == Mode::kFlipToClient);
        if (flip && at_ >= first && at_ < count[i]) buf[at_ - first] = static_cast<char>(~buf[at_ - first]);
        if (i == 1 && mode_ == Mode::kCutToClient && count[i] >= at_) {
          send(client, buf, static_cast<size_t>(n) - static_cast<size_t>(count[i] - at_), MSG_NOSIGNAL);
          open[0] = open[1] = false;
          break;
        }
        if (mode_ == Mode::kRecord) {
          recorded_[i].append(buf, static_cast<size_t>(n));
          reads_[i].push_back(static_cast<size_t>(n));
        }
        send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
      }
    }
    close(client);
    close(server);
  }

  Mode mode_;
  uint64_t at_;
  uint16_t target_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::string recorded_[2];  // written by the relay thread while the peer runs
  std::vector<size_t> reads_[2];
  std::thread thread_;
};

struct CaptureCase {
  const char* file;
  int sessions;  // connections that carry data
};

const CaptureCase kCaptureCases[] = {
    {"Oracle-good.pcap", 1},           {"Oracle-WinWin-1.pcap", 1},
    {"oracle_11g_password1234567890.pcapng", 1}, {"try-1-simple.pcap", 2},
    {"7_oracle10_2016.pcapng", 2},     {"TNS_Oracle4.pcap", 1},
    {"trex_cap2_Oracle.pcap", 1},      {"arkime_oracle.pcap", 1},
};

TEST(QxPeerReplay, EveryRecordedSessionArrivesIdenticalDirectlyAndThroughSocat) {
  const uint16_t listen = FreePort();
  Socat socat(listen);
  ASSERT_TRUE(socat.running());
  for (const CaptureCase& c : kCaptureCases) {
    SCOPED_TRACE(c.file);
    const std::string capture = "--capture " + kCaptures + c.file + " --session all --timeout 10";
    const Outcome direct = RunPeer("replay " + capture + " --relay " + At(listen) + " --listen " + At(listen));
    EXPECT_EQ(direct.status, 0) << direct.output;
    EXPECT_EQ(CountOf(direct.output, "result: identical"), c.sessions) << direct.output;
    const Outcome relayed = RunPeer("replay " + capture + " --relay " + At(socat.port()) + " --listen " + At(listen));
    EXPECT_EQ(relayed.status, 0) << relayed.output;
    EXPECT_EQ(CountOf(relayed.output, "result: identical"), c.sessions) << relayed.output;
  }
}

TEST(QxPeerReplay, ReassemblesTheQuirksOfTheCaptures) {
  // Byte counts agree with the TCP sequence numbers: the FCS trailers of the trex file and the
  // doubled VLAN copies of the arkime file add nothing.
  Outcome o = RunPeer("list --capture " + kCaptures + "trex_cap2_Oracle.pcap --steps");
  ASSERT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("18770 client bytes, 20993 server bytes"), std::string::npos) << o.output;
  // Its ACCEPT was recorded before the CONNECT; the replay still lets the client speak first.
  const size_t first_step = o.output.find("\n  ");
  ASSERT_NE(first_step, std::string::npos);
  EXPECT_EQ(o.output.compare(first_step + 3, 17, "client data    24"), 0) << o.output;
  EXPECT_NE(o.output.find("server data     32 bytes at        0  after      247"), std::string::npos);

  o = RunPeer("list --capture " + kCaptures + "arkime_oracle.pcap");
  EXPECT_NE(o.output.find("Oracle port 1522"), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("224 client bytes, 0 server bytes"), std::string::npos) << o.output;

  // Two logins on separate connections; the server is the side on the CONNECT's port.
  o = RunPeer("list --capture " + kCaptures + "try-1-simple.pcap");
  EXPECT_NE(o.output.find("session 1: client 192.168.2.2:49187 -> server 192.168.2.253:1521, 5186 client bytes, 3490 server bytes"),
            std::string::npos) << o.output;
  EXPECT_NE(o.output.find("session 2: client 192.168.2.2:49190"), std::string::npos) << o.output;
  o = RunPeer("list --capture " + kCaptures + "oracle_11g_password1234567890.pcapng");
  EXPECT_NE(o.output.find("-> server 192.168.0.42:49161"), std::string::npos) << o.output;

  o = RunPeer("list --capture /nonexistent.pcap");
  EXPECT_EQ(o.status, 1);
}

// Writes an Ethernet capture of hand-made TCP segments between 10.0.0.1:40000 (client) and
// 10.0.0.2:1521 (server), each frame with a 4-byte trailer that the IP length excludes.
class CaptureWriter {
 public:
  explicit CaptureWriter(const std::string& path) {
    dead_ = pcap_open_dead(DLT_EN10MB, 65535);
    dump_ = pcap_dump_open(dead_, path.c_str());
  }
  ~CaptureWriter() {
    if (dump_ != nullptr) pcap_dump_close(dump_);
    pcap_close(dead_);
  }
  bool ok() const { return dump_ != nullptr; }
  enum Flags { kFin = 1, kSyn = 2, kRst = 4, kAck = 16 };
  void Segment(bool from_client, uint32_t seq, uint32_t ack, int flags, const std::string& payload) {
    std::string f(12, '\x02');
    f += std::string("\x08\x00", 2);
    const size_t ip_len = 20 + 20 + payload.size();
    const unsigned char src = from_client ? 1 : 2, dst = from_client ? 2 : 1;
    const uint16_t sport = from_client ? 40000 : 1521, dport = from_client ? 1521 : 40000;
    const unsigned char ip[20] = {0x45, 0, static_cast<unsigned char>(ip_len >> 8), static_cast<unsigned char>(ip_len),
                                  0, 0, 0x40, 0, 64, 6, 0, 0, 10, 0, 0, src, 10, 0, 0, dst};
    f.append(reinterpret_cast<const char*>(ip), 20);
    const unsigned char tcp[20] = {static_cast<unsigned char>(sport >> 8), static_cast<unsigned char>(sport),
                                   static_cast<unsigned char>(dport >> 8), static_cast<unsigned char>(dport),
                                   static_cast<unsigned char>(seq >> 24), static_cast<unsigned char>(seq >> 16),
                                   static_cast<unsigned char>(seq >> 8), static_cast<unsigned char>(seq),
                                   static_cast<unsigned char>(ack >> 24), static_cast<unsigned char>(ack >> 16),
                                   static_cast<unsigned char>(ack >> 8), static_cast<unsigned char>(ack),
                                   0x50, static_cast<unsigned char>(flags), 0xff, 0xff, 0, 0, 0, 0};
    f.append(reinterpret_cast<const char*>(tcp), 20);
    f += payload;
    f += "FCS!";
    pcap_pkthdr h{};
    h.ts.tv_sec = ++second_;
    h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
    pcap_dump(reinterpret_cast<u_char*>(dump_), &h, reinterpret_cast<const u_char*>(f.data()));
  }

 private:
  pcap_t* dead_;
  pcap_dumper_t* dump_;
  long second_ = 0;
};

TEST(QxPeerReplay, OutOfOrderAndRepeatedSegmentsAndAResetByTheServer) {
  const std::string path = testing::TempDir() + "qxpeer_reset.pcap";
  {
    CaptureWriter w(path);
    ASSERT_TRUE(w.ok());
    // A CONNECT-shaped first packet so that port 1521 is taken as the Oracle port.
    std::string connect(40, 'c');
    connect[0] = 0;
    connect[1] = 40;
    connect[2] = connect[3] = 0;
    connect[4] = 1;
    w.Segment(true, 1000, 0, CaptureWriter::kSyn, "");
    w.Segment(false, 5000, 1001, CaptureWriter::kSyn | CaptureWriter::kAck, "");
    w.Segment(true, 1001, 5001, CaptureWriter::kAck, connect);
    w.Segment(false, 5001, 1041, CaptureWriter::kAck, std::string(20, 's'));
    w.Segment(true, 1056, 5021, CaptureWriter::kAck, std::string(15, 'B'));  // ahead of its time
    w.Segment(true, 1041, 5021, CaptureWriter::kAck, std::string(15, 'A'));
    w.Segment(true, 1041, 5021, CaptureWriter::kAck, std::string(15, 'A') + std::string(15, 'B'));  // resent
    w.Segment(true, 1041, 5021, CaptureWriter::kAck, std::string(15, 'A'));                         // and again
    w.Segment(false, 5021, 1071, CaptureWriter::kRst | CaptureWriter::kAck, "");
    w.Segment(true, 1071, 5021, CaptureWriter::kAck, std::string(5, 'L'));  // lost in the reset
  }
  const Outcome listed = RunPeer("list --steps --capture " + path);
  ASSERT_EQ(listed.status, 0) << listed.output;
  EXPECT_NE(listed.output.find("Oracle port 1521"), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find("client 10.0.0.1:40000 -> server 10.0.0.2:1521, 70 client bytes, 20 server bytes"),
            std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find("server RST"), std::string::npos) << listed.output;

  const uint16_t listen = FreePort();
  Socat socat(listen);
  ASSERT_TRUE(socat.running());
  for (uint16_t relay : {listen, socat.port()}) {
    const Outcome o = RunPeer("replay --capture " + path + " --relay " + At(relay) + " --listen " + At(listen) + " --timeout 5");
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_NE(o.output.find("result: identical"), std::string::npos) << o.output;
  }
  std::remove(path.c_str());
}

TEST(QxPeerGenerate, SessionsOfBothFramingsPassThroughSocat) {
  const uint16_t listen = FreePort();
  Socat socat(listen);
  ASSERT_TRUE(socat.running());
  for (const char* framing : {"old", "new"}) {
    SCOPED_TRACE(framing);
    const Outcome o = RunPeer(std::string("generate --framing ") + framing + " --sessions 30 --statements 20 --concurrency 10" +
                              " --orauser KING --program sqlplus@ws17 --statement-text \"SELECT 1 FROM DUAL\"" +
                              " --statement-text \"" + std::string(150, 'X') + "\" --relay " + At(socat.port()) +
                              " --listen " + At(listen) + " --timeout 10");
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_NE(o.output.find("client sides ok 30 failed 0, server sides ok 30 failed 0"), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("statements sent: 600;"), std::string::npos) << o.output;
  }
  // A descriptor longer than a CONNECT carries goes in a DATA packet of its own.
  const Outcome o = RunPeer("generate --program " + std::string(300, 'P') + " --relay " + At(socat.port()) +
                            " --listen " + At(listen) + " --timeout 10");
  EXPECT_EQ(o.status, 0) << o.output;
}

TEST(QxPeerGenerate, PacketsCarryWhatAMonitorLooksFor) {
  for (const char* framing : {"old", "new"}) {
    SCOPED_TRACE(framing);
    const uint16_t listen = FreePort();
    TamperRelay relay(TamperRelay::Mode::kRecord, 0, listen);
    const std::string long_text = "SELECT OWNER, TABLE_NAME FROM ALL_TABLES WHERE OWNER = 'SYSTEM' ORDER BY TABLE_NAME";
    const Outcome o = RunPeer(std::string("generate --framing ") + framing + " --statements 3 --service-name ORCL" +
                              " --program sqlplus@ws17 --host ws17 --user jsmith --orauser King" +
                              " --statement-text \"SELECT 1 FROM DUAL\" --statement-text \"" + long_text + "\"" +
                              " --relay " + At(relay.port()) + " --listen " + At(listen) + " --timeout 5");
    ASSERT_EQ(o.status, 0) << o.output;
    const std::string& c = relay.Stream(0);
    const std::string& s = relay.Stream(1);
    const std::string descriptor = "(DESCRIPTION=(CONNECT_DATA=(SERVICE_NAME=ORCL)(CID=(PROGRAM=sqlplus@ws17)(HOST=ws17)"
                                   "(USER=jsmith)))(ADDRESS=(PROTOCOL=TCP)(HOST=127.0.0.1)(PORT=" +
                                   std::to_string(listen) + ")))";
    // CONNECT first, descriptor inline; the ACCEPT answers it.
    ASSERT_GT(c.size(), 100u);
    EXPECT_EQ(c[4], 1);
    EXPECT_EQ(c.substr(static_cast<size_t>((c[0] & 0xff) << 8 | (c[1] & 0xff)) - descriptor.size(), descriptor.size()), descriptor);
    EXPECT_EQ(s[4], 2);
    // The Oracle user right before AUTH_TERMINAL, as an OCI client writes it.
    EXPECT_NE(c.find(std::string("\x04King\x0d\x00\x00\x00\x0d" "AUTH_TERMINAL", 22)), std::string::npos);
    // Statements: whole when short, in 64-byte pieces when long; the third reuses the first.
    EXPECT_EQ(CountOf(c, std::string("\x03\x5e", 2)), 3);
    EXPECT_EQ(CountOf(c, "\x12SELECT 1 FROM DUAL"), 2);
    EXPECT_NE(c.find("\xfe\x40" + long_text.substr(0, 64) + static_cast<char>(long_text.size() - 64) + long_text.substr(64) + '\0'),
              std::string::npos);
    // The end packet closes the client's stream.
    const std::string end = std::string(framing) == "old" ? std::string("\x00\x0a\x00\x00\x06\x00\x00\x00\x00\x40", 10)
                                                          : std::string("\x00\x00\x00\x0a\x06\x20\x00\x00\x00\x40", 10);
    EXPECT_EQ(c.substr(c.size() - 10), end);
    // Each statement is answered by one 100-byte DATA packet, after the two login answers.
    const std::string last = s.substr(s.size() - 100);
    if (std::string(framing) == "old") {
      EXPECT_EQ(last.substr(0, 6), std::string("\x00\x64\x00\x00\x06\x00", 6));
    } else {
      EXPECT_EQ(last.substr(0, 6), std::string("\x00\x00\x00\x64\x06\x20", 6));
    }
  }
}

TEST(QxPeerGenerate, ThinkTimeKeepsSessionsOpenInTheBackground) {
  const uint16_t listen = FreePort();
  Socat socat(listen);
  ASSERT_TRUE(socat.running());
  const auto start = std::chrono::steady_clock::now();
  PeerProcess peer("generate --sessions 6 --concurrency 6 --statements 3 --think-ms 150 --relay " +
                   At(socat.port()) + " --listen " + At(listen) + " --timeout 10");
  ASSERT_TRUE(peer.started());
  const Outcome o = peer.Wait(30000);
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("client sides ok 6 failed 0, server sides ok 6 failed 0"), std::string::npos) << o.output;
  // Three statements and the end packet, each after a pause, all sessions at once.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));
}

TEST(QxPeerGenerate, SessionsEndingInAResetByEitherSide) {
  const uint16_t listen = FreePort();
  Socat socat(listen);
  ASSERT_TRUE(socat.running());
  for (const char* end : {"client-reset", "server-reset"}) {
    for (uint16_t relay : {listen, socat.port()}) {
      SCOPED_TRACE(std::string(end) + " via " + std::to_string(relay));
      const Outcome o = RunPeer(std::string("generate --end ") + end + " --sessions 10 --concurrency 5 --statements 4" +
                                " --relay " + At(relay) + " --listen " + At(listen) + " --timeout 10");
      EXPECT_EQ(o.status, 0) << o.output;
      EXPECT_NE(o.output.find("statements sent: 40;"), std::string::npos) << o.output;
    }
  }
}

TEST(QxPeerGenerate, ChunkedSendsReachTheRelayInPieces) {
  const uint16_t listen = FreePort();
  TamperRelay relay(TamperRelay::Mode::kRecord, 0, listen);
  const Outcome o = RunPeer("generate --statements 2 --chunk-bytes 60 --chunk-gap-ms 30 --relay " + At(relay.port()) +
                            " --listen " + At(listen) + " --timeout 10");
  ASSERT_EQ(o.status, 0) << o.output;
  // The CONNECT (over 200 bytes) arrives in pieces of 60 bytes, so its descriptor in several.
  const std::vector<size_t>& reads = relay.Reads(0);
  ASSERT_GE(reads.size(), 4u);
  EXPECT_EQ(reads[0], 60u);
  EXPECT_EQ(reads[1], 60u);
}

TEST(QxPeerDetects, ChangedMissingAndExtraBytesWithTheirPosition) {
  const std::string capture = "--capture " + kCaptures + "Oracle-good.pcap --timeout 5";
  struct Case {
    TamperRelay::Mode mode;
    uint64_t at;
    const char* expected;
  };
  const Case cases[] = {
      {TamperRelay::Mode::kFlipToServer, 300, "the server received byte 300 of the client's stream wrong"},
      {TamperRelay::Mode::kFlipToClient, 2000, "the client received byte 2000 of the server's stream wrong"},
      {TamperRelay::Mode::kCutToClient, 500, "closed by the other end early, with 500 of 6668 bytes"},
      {TamperRelay::Mode::kExtraToClient, 0, "byte(s) more than the 6668 the server sent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    const uint16_t listen = FreePort();
    TamperRelay relay(c.mode, c.at, listen);
    const Outcome o = RunPeer("replay " + capture + " --relay " + At(relay.port()) + " --listen " + At(listen));
    EXPECT_EQ(o.status, 1) << o.output;
    EXPECT_NE(o.output.find(c.expected), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("result: FAILED"), std::string::npos) << o.output;
  }
  // Generated traffic: a flipped byte fails its session and the run.
  const uint16_t listen = FreePort();
  TamperRelay relay(TamperRelay::Mode::kFlipToServer, 700, listen);
  const Outcome o = RunPeer("generate --statements 5 --relay " + At(relay.port()) + " --listen " + At(listen) + " --timeout 5");
  EXPECT_EQ(o.status, 1) << o.output;
  EXPECT_NE(o.output.find("server sides ok 0 failed 1"), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("byte 700 of the client's stream wrong"), std::string::npos) << o.output;
}

TEST(QxPeerDetects, ARelayThatNeverConnectsWithinTheTimeOut) {
  const uint16_t listen = FreePort();
  TamperRelay relay(TamperRelay::Mode::kNoTarget, 0, listen);
  const auto start = std::chrono::steady_clock::now();
  const Outcome o = RunPeer("replay --capture " + kCaptures + "Oracle-good.pcap --relay " + At(relay.port()) +
                            " --listen " + At(listen) + " --timeout 1");
  EXPECT_EQ(o.status, 1) << o.output;
  EXPECT_NE(o.output.find("no connection arrived"), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("the client timed out"), std::string::npos) << o.output;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  // Nothing listens at the relay address at all.
  const Outcome refused = RunPeer("generate --sessions 3 --relay " + At(FreePort()) + " --listen " + At(listen) + " --timeout 5");
  EXPECT_EQ(refused.status, 1) << refused.output;
  EXPECT_NE(refused.output.find("could not connect"), std::string::npos) << refused.output;
}

TEST(QxPeerBench, MeasuresRoundTripsAndBulkThroughput) {
  const uint16_t listen = FreePort();
  Socat socat(listen);
  ASSERT_TRUE(socat.running());
  Outcome o = RunPeer("bench-rtt --count 200 --relay " + At(socat.port()) + " --listen " + At(listen));
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("round trips: 200 in"), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("99th percentile round trip:"), std::string::npos) << o.output;
  o = RunPeer("bench-bulk --framing new --bytes 20000000 --relay " + At(listen) + " --listen " + At(listen));
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("throughput:"), std::string::npos) << o.output;
}

TEST(QxPeerUsage, RejectsBadArgumentsWithStatusTwo) {
  EXPECT_EQ(RunPeer("").status, 2);
  EXPECT_EQ(RunPeer("replay --capture x").status, 2);
  EXPECT_EQ(RunPeer("generate --relay 127.0.0.1:0 --listen 127.0.0.1:1").status, 2);
  EXPECT_EQ(RunPeer("generate --relay 127.0.0.1:1 --listen 127.0.0.1:1 --framing mid").status, 2);
  EXPECT_EQ(RunPeer("generate --relay 127.0.0.1:1 --listen 127.0.0.1:1 --sessions x").status, 2);
  EXPECT_EQ(RunPeer("bench-rtt --relay 127.0.0.1:1 --listen 127.0.0.1:1 --bogus 1").status, 2);
  const Outcome remote = RunPeer("generate --relay 192.0.2.1:1521 --listen 127.0.0.1:1");
  EXPECT_EQ(remote.status, 2);
  EXPECT_NE(remote.output.find("only loopback addresses"), std::string::npos) << remote.output;
}

}  // namespace
