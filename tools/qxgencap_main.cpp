// qxgencap: writes a synthetic capture file (classic pcap, Ethernet) of Oracle Net sessions for
// load tests of passive monitoring. Each session: CONNECT with a descriptor, the server's
// answer, authentication naming the Oracle user, N statement calls each answered by the
// server, and the client's end packet. Most statements repeat a small set; one in UNIQUE
// (twenty unless told) is unique, so UNIQUE 1 makes every statement a new one. Sessions come
// from distinct client addresses and ports, CONCURRENT at a time (one unless told): a wave of
// that many sessions connects, their calls take turns call by call, and they end together, as
// a server's pooled connections interleave.
//
//   qxgencap OUTPUT [SESSIONS=1000] [STATEMENTS=100] [SERVER=10.0.0.1] [PORT=1521] [UNIQUE=20]
//            [CONCURRENT=1]
//
// Prints the number of frames written.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qxpeer/tns.h"

using namespace std::string_literals;

namespace {

// The framing of servers before 12c: 2-byte packet lengths throughout.
constexpr qxpeer::Framing kFraming = qxpeer::Framing::kOld;

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t ParseIp(const char* text) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
  return (a << 24) | (b << 16) | (c << 8) | d;
}

class PcapWriter {
 public:
  explicit PcapWriter(FILE* f) : f_(f) {
    uint8_t header[24] = {};
    const uint32_t magic = 0xa1b2c3d4;
    std::memcpy(header, &magic, 4);  // host order: readers detect it
    const uint16_t major = 2, minor = 4;
    std::memcpy(header + 4, &major, 2);
    std::memcpy(header + 6, &minor, 2);
    const uint32_t snaplen = 262144, linktype = 1;
    std::memcpy(header + 16, &snaplen, 4);
    std::memcpy(header + 20, &linktype, 4);
    std::fwrite(header, 1, sizeof header, f_);
  }

  void Segment(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport, uint32_t seq,
               const std::string& payload) {
    const size_t length = 14 + 20 + 20 + payload.size();
    frame_.assign(length, 0);
    uint8_t* f = frame_.data();
    f[5] = 1;
    f[11] = 2;
    Put16(f + 12, 0x0800);
    f[14] = 0x45;
    Put16(f + 16, static_cast<uint32_t>(20 + 20 + payload.size()));
    f[22] = 64;
    f[23] = 6;
    Put32(f + 26, src);
    Put32(f + 30, dst);
    Put16(f + 34, sport);
    Put16(f + 36, dport);
    Put32(f + 38, seq);
    f[46] = 0x50;
    f[47] = 0x18;
    Put16(f + 48, 65535);
    std::memcpy(f + 54, payload.data(), payload.size());

    usec_ += 50;
    const uint32_t record[4] = {static_cast<uint32_t>(1700000000 + usec_ / 1000000),
                                static_cast<uint32_t>(usec_ % 1000000),
                                static_cast<uint32_t>(length), static_cast<uint32_t>(length)};
    std::fwrite(record, 1, sizeof record, f_);
    std::fwrite(f, 1, length, f_);
    ++frames_;
  }

  uint64_t frames() const { return frames_; }

 private:
  FILE* f_;
  std::vector<uint8_t> frame_;
  uint64_t usec_ = 0;
  uint64_t frames_ = 0;
};

std::string Connect(int session) {
  qxpeer::DescriptorFields f;
  f.service_name = "ORCL";
  f.program = "loadgen@host" + std::to_string(session % 50);
  f.host = "host" + std::to_string(session % 50);
  f.user = "app";
  f.address_host = "10.0.0.1";
  return qxpeer::ConnectPacket(qxpeer::BuildDescriptor(f), kFraming);
}

std::string Statement(int session, int n, int unique) {
  static const char* const kCommon[] = {
      "SELECT ID, NAME, PRICE FROM PRODUCTS WHERE ID = :1",
      "SELECT COUNT(*) FROM ORDERS WHERE CUSTOMER_ID = :1",
      "UPDATE ORDERS SET STATUS = :1 WHERE ID = :2",
      "INSERT INTO AUDIT_LOG (TS, WHO, WHAT) VALUES (SYSDATE, :1, :2)",
      "SELECT * FROM CUSTOMERS WHERE EMAIL = :1",
      "DELETE FROM CART_ITEMS WHERE CART_ID = :1",
      "BEGIN PKG_ORDERS.RECALC(:1); END;",
      "SELECT NAME FROM CATEGORIES ORDER BY NAME",
  };
  std::string sql;
  if (n % unique == unique - 1) {
    sql = "SELECT * FROM ORDERS WHERE ID = " + std::to_string(session * 1000 + n);
  } else {
    sql = kCommon[(session + n) % (sizeof kCommon / sizeof kCommon[0])];
  }
  return qxpeer::DataPackets(qxpeer::ExecuteCall(sql, static_cast<uint8_t>(3 + n % 250)), kFraming,
                             false);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: qxgencap OUTPUT [SESSIONS] [STATEMENTS] [SERVER] [PORT] [UNIQUE] "
                 "[CONCURRENT]\n");
    return 2;
  }
  const int sessions = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int statements = argc > 3 ? std::atoi(argv[3]) : 100;
  const uint32_t server = ParseIp(argc > 4 ? argv[4] : "10.0.0.1");
  const uint16_t port = static_cast<uint16_t>(argc > 5 ? std::atoi(argv[5]) : 1521);
  const int unique = argc > 6 ? std::max(1, std::atoi(argv[6])) : 20;
  // Client ports repeat after 40,000 sessions: a wave stays below that.
  const int concurrent = argc > 7 ? std::clamp(std::atoi(argv[7]), 1, 40000) : 1;
  FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  PcapWriter out(f);
  const std::string accept = qxpeer::AcceptPacket(kFraming);
  const std::string auth_reply =
      qxpeer::DataPackets(qxpeer::AuthPhaseOneReply(), kFraming, true);
  const std::string answer = qxpeer::StatementReply(kFraming, 40, 1);
  const std::string end = qxpeer::EndPacket(kFraming);
  struct Session {
    int number;
    uint32_t client;
    uint16_t cport;
    uint32_t cseq = 1000, sseq = 5000;
  };
  auto to_server = [&](Session& c, const std::string& p) {
    out.Segment(c.client, c.cport, server, port, c.cseq, p);
    c.cseq += static_cast<uint32_t>(p.size());
  };
  auto to_client = [&](Session& c, const std::string& p) {
    out.Segment(server, port, c.client, c.cport, c.sseq, p);
    c.sseq += static_cast<uint32_t>(p.size());
  };
  for (int first = 0; first < sessions; first += concurrent) {
    std::vector<Session> wave;
    for (int s = first; s < std::min(sessions, first + concurrent); ++s) {
      wave.push_back(Session{s, ParseIp("10.1.0.0") + 2 + static_cast<uint32_t>(s % 200),
                             static_cast<uint16_t>(20000 + s % 40000)});
    }
    for (Session& c : wave) {
      const int s = c.number;
      to_server(c, Connect(s));
      to_client(c, accept);
      const std::string user = "USER" + std::to_string(s % 10);
      to_server(c, qxpeer::DataPackets(qxpeer::AuthPhaseOne(user, "pts/0", "loadgen", "host", 1),
                                       kFraming, false));
      to_client(c, auth_reply);
      to_server(c, qxpeer::DataPackets(qxpeer::AuthPhaseTwo(user, "pts/0", 2), kFraming, false));
      to_client(c, qxpeer::DataPackets(qxpeer::AuthPhaseTwoReply(), kFraming, true));
    }
    for (int n = 0; n < statements; ++n) {
      for (Session& c : wave) {
        to_server(c, Statement(c.number, n, unique));
        to_client(c, answer);
      }
    }
    for (Session& c : wave) to_server(c, end);
  }
  std::fclose(f);
  std::printf("%llu\n", static_cast<unsigned long long>(out.frames()));
  return 0;
}
