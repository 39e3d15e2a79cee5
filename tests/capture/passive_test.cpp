// Passive handling of captured frames, in process: payload bounds, connections opened by the
// connect packet and closed by either form of the end packet, the dead-connection sweep, the
// service filters, several services on one sniffer, errors while a frame is handled, tagged
// frames, teardown, and a bounded fuzz run over random and truncated frames.
#include <gtest/gtest.h>


#include <chrono>
#include <map>
#include <random>

#include "capture/passive.h"
#include "platform/datetime.h"
#include "sniffer/sniffer.h"
#include "sql/sql_hash.h"
#include "support/oracle_frames.h"
#include "support/test_util.h"

namespace qx::capture {
namespace {

using service::TServiceData;
using testsupport::FrameOptions;
using testsupport::TcpFrame;
using testsupport::TnsAuth;
using testsupport::TnsConnect;
using testsupport::TnsEnd;
using testsupport::TnsStatement;

constexpr const char* kServer = "10.0.0.1";
constexpr uint16_t kOraclePort = 1521;
constexpr const char* kClient = "10.0.0.7";

std::string Text(const std::vector<uint8_t>& frame) {
  return TcpPayloadText(frame.data(), frame.size());
}

TEST(PassivePayload, FollowsTheHeaderLengthsAndStaysInsideTheCapture) {
  const std::string payload = "0123456789";
  EXPECT_EQ(Text(TcpFrame(kClient, 1, kServer, 2, payload)), payload);

  FrameOptions options;
  options.ip_options = 2;
  options.tcp_options = 3;
  options.trailer = 4;  // an FCS is not payload
  EXPECT_EQ(Text(TcpFrame(kClient, 1, kServer, 2, payload, options)), payload);

  // The total length ends inside the headers: nothing.
  options = {};
  options.total_length_delta = -static_cast<int>(payload.size()) - 1;
  EXPECT_EQ(Text(TcpFrame(kClient, 1, kServer, 2, payload, options)), "");

  // Cut by the capture: what was captured; headers cut: nothing.
  const auto frame = TcpFrame(kClient, 1, kServer, 2, payload);
  EXPECT_EQ(TcpPayloadText(frame.data(), 54 + 4), "0123");
  EXPECT_EQ(TcpPayloadText(frame.data(), 53), "");
  EXPECT_EQ(TcpPayloadText(frame.data(), 20), "");
  EXPECT_EQ(TcpPayloadText(nullptr, 100), "");

  // Never past byte 8193 of the frame.
  const std::string big(20000, 'x');
  EXPECT_EQ(Text(TcpFrame(kClient, 1, kServer, 2, big)).size(), 8193u - 54u);

  // Segmentation offload leaves the total length 0: the captured bytes count.
  auto offloaded = TcpFrame(kClient, 1, kServer, 2, payload);
  offloaded[16] = offloaded[17] = 0;
  EXPECT_EQ(Text(offloaded), payload);

  // A TCP header length below 20 bytes is impossible.
  auto bad = TcpFrame(kClient, 1, kServer, 2, payload);
  bad[46] = 0x40;
  EXPECT_EQ(Text(bad), "");
}

std::vector<std::vector<std::string>> Rows(const std::string& db, const std::string& sql) {
  return test::SqliteRows(db, sql);
}

class Passive : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string out;
    ASSERT_EQ(test::RunProgram({test::BinaryPath("qxadmin"), "init", "sqlite:" + Db()}, &out), 0)
        << out;
    svc_.ServiceCreate();
    svc_.programDirectory = dir_.path() + "/";
    std::string error;
    ASSERT_TRUE(svc_.errorLog.Create(dir_.File("qxerror.log"), &error)) << error;
    ASSERT_TRUE(svc_.serviceLog.Create(dir_.File("qxservice.log"), &error)) << error;
    svc_.session = repository::Session::Create("sqlite:repo.db", svc_.programDirectory);
    svc_.session->Connect();
    svc_.sqlCache = std::make_unique<sql::TSQLCache>(500);
    svc_.debugConnections = true;
    svc_.sqlHistCacheCount = 100;
  }

  std::string Db() const { return dir_.File("repo.db"); }

  TServiceData& AddService(const std::string& name, sniffer::TSniffer* sniffer) {
    auto s = std::make_unique<TServiceData>();
    s->id = static_cast<double>(svc_.services.size() + 1);
    s->name = name;
    s->oracle_host = kServer;
    s->oracle_port = kOraclePort;
    s->ipinterface = "10.0.0.1";
    s->sniffer = sniffer;
    svc_.services.push_back(std::move(s));
    return *svc_.services.back();
  }
  sniffer::TSniffer* Sniffer(int i) { return svc_.snifferPool[i].get(); }

  void Feed(const std::vector<uint8_t>& frame, int sniffer = 0) {
    PassiveFrame(svc_, Sniffer(sniffer), frame.data(), frame.size());
  }
  // Segments of one connection carry consecutive sequence numbers in each direction.
  void FromClient(uint16_t port, const std::string& payload, int sniffer = 0,
                  uint8_t flags = 0x18) {
    FrameOptions o;
    o.tcp_flags = flags;
    o.seq = Advance(port, false, payload.size());
    Feed(TcpFrame(kClient, port, kServer, kOraclePort, payload, o), sniffer);
  }
  void FromServer(uint16_t port, const std::string& payload, int sniffer = 0,
                  uint8_t flags = 0x18) {
    FrameOptions o;
    o.tcp_flags = flags;
    o.seq = Advance(port, true, payload.size());
    Feed(TcpFrame(kServer, kOraclePort, kClient, port, payload, o), sniffer);
  }
  uint32_t Advance(uint16_t port, bool from_server, size_t bytes) {
    uint32_t& next = next_seq_[{port, from_server}];
    const uint32_t seq = next;
    next += static_cast<uint32_t>(bytes);
    return seq;
  }
  std::map<std::pair<uint16_t, bool>, uint32_t> next_seq_;
  void Connect(uint16_t port, const std::string& program = "sqlplus@box",
               bool four_byte = false) {
    const std::string connect = TnsConnect(program, "box", "alice", "orcl", false, four_byte);
    FromClient(port, connect);
    FromServer(port, testsupport::TnsAcceptFor(connect));
  }
  // Connections counted as monitored: their descriptor was decoded and the filters kept them.
  size_t Monitored(const TServiceData& service) {
    size_t n = 0;
    for (const auto& r : service.passiveConnections) n += r->established && !r->excluded;
    return n;
  }

  // sqltext, srvc_id, ip, orauser, program, username of every history row, in order.
  std::vector<std::vector<std::string>> History() {
    return Rows(Db(),
                "select s.sqltext, h.srvc_id, h.ip, h.orauser, h.program, h.username "
                "from qx_client_sql_history h join qx_client_sql s on s.id = h.sql_id "
                "order by h.id");
  }
  std::vector<std::string> ServiceLog() { return test::LogMessages(dir_.File("qxservice.log")); }
  std::vector<std::string> ErrorLog() { return test::LogMessages(dir_.File("qxerror.log")); }
  bool ServiceLogHas(const std::string& line) {
    const auto log = ServiceLog();
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  test::TempDir dir_;
  service::TQuorvexService svc_;
};

class PassiveSession : public Passive, public ::testing::WithParamInterface<bool> {};

TEST_P(PassiveSession, StatementsAndHistoryUntilTheEndPacket) {
  const bool four_byte = GetParam();
  TServiceData& service = AddService("ORA", Sniffer(0));
  Connect(40001, "sqlplus@box", four_byte);
  ASSERT_EQ(service.passiveConnections.size(), 1u);
  EXPECT_EQ(service.totalConnections.load(), 1);
  EXPECT_EQ(svc_.nextConnectionNo.load(), 1);
  FromClient(40001, TnsAuth("SCOTT", four_byte));
  FromServer(40001, testsupport::TnsReply(four_byte));
  FromClient(40001, TnsStatement("Select ename From emp", four_byte));
  FromClient(40001, "");  // a pure acknowledgement changes nothing
  FromServer(40001, testsupport::TnsReply(four_byte));
  FromClient(40001, TnsStatement("update emp set sal = 1", four_byte));
  // The first statement is complete and catalogued, its execution queued; the second runs.
  EXPECT_EQ(Rows(Db(), "select sqltext from qx_client_sql"),
            (std::vector<std::vector<std::string>>{{"Select ename From emp"}}));
  EXPECT_TRUE(History().empty());

  FromClient(40001, TnsEnd(four_byte));
  EXPECT_TRUE(service.passiveConnections.empty());
  const std::vector<std::string> row1 = {"Select ename From emp", "1", kClient, "SCOTT",
                                         "SQLPLUS@BOX", "ALICE"};
  const std::vector<std::string> row2 = {"update emp set sal = 1", "1", kClient, "SCOTT",
                                         "SQLPLUS@BOX", "ALICE"};
  EXPECT_EQ(History(), (std::vector<std::vector<std::string>>{row1, row2}));
  EXPECT_TRUE(ServiceLogHas("Service :: ORA New client connection from IP 10.0.0.7 port 40001 "
                            "detected."));
  EXPECT_TRUE(ServiceLogHas("Service :: ORA Enabling monitoring of new connection from host BOX"));
  EXPECT_TRUE(ServiceLogHas("Service :: ORAClient connection from IP 10.0.0.7 port 40001 "
                            "disconnected."));
  EXPECT_TRUE(ErrorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Framings, PassiveSession, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "FourByte" : "TwoByte"; });

TEST_F(Passive, AConnectionCountsFromItsDescriptor) {
  TServiceData& service = AddService("ORA", Sniffer(0));
  // Data of a connection opened before the capture: watched, never counted, nothing stored.
  FromClient(40001, TnsStatement("select 1 from dual", false));
  FromServer(40001, testsupport::TnsReply(false));
  EXPECT_EQ(Monitored(service), 0u);
  // A server frame of an unknown client opens nothing.
  FromServer(40009, "x");
  EXPECT_EQ(service.passiveConnections.size(), 1u);
  // A descriptor in small letters is a descriptor.
  FromClient(40002, TnsConnect("sqlplus", "box", "alice", "orcl", true));
  EXPECT_EQ(Monitored(service), 1u);
  EXPECT_EQ(service.totalConnections.load(), 1);
  // Frames of another server port or host are not the service's, nor those of its other
  // sniffer.
  Feed(TcpFrame(kClient, 40003, kServer, 1522, TnsConnect("p", "h", "u", "s")));
  Feed(TcpFrame(kClient, 40003, "10.0.0.2", kOraclePort, TnsConnect("p", "h", "u", "s")));
  Feed(TcpFrame(kClient, 40004, kServer, kOraclePort, TnsConnect("p", "h", "u", "s")), 1);
  EXPECT_EQ(service.passiveConnections.size(), 2u);
  EXPECT_EQ(History().size(), 0u);
}

TEST_F(Passive, TheWireEndsSessionsNotBytesThatLookLikeAnEnd) {
  TServiceData& service = AddService("ORA", Sniffer(0));
  // A statement whose DATA packet is 266 bytes long begins 01 0a 00 00 06 00 00 00 00 00, which
  // a search of the bytes would take for the end packet: the session goes on.
  Connect(40001);
  FromClient(40001, TnsStatement("select '" + std::string(200, 'a') + "' from dual", false));
  FromServer(40001, testsupport::TnsReply(false));
  EXPECT_EQ(Monitored(service), 1u);
  // The end packet in the 4-byte framing, and the FIN or RST of either side, end a session.
  Connect(40002, "sqlplus@box", true);
  FromClient(40002, TnsEnd(true));
  Connect(40003);
  FromServer(40003, "", 0, 0x11);
  Connect(40004);
  FromClient(40004, "", 0, 0x04);
  ASSERT_EQ(service.passiveConnections.size(), 1u);
  EXPECT_EQ(service.passiveConnections[0]->clientPort, 40001);
  FromClient(40001, TnsEnd(false));
  EXPECT_TRUE(service.passiveConnections.empty());
  EXPECT_EQ(History().size(), 1u);
}

TEST_F(Passive, HundredsOfInterleavedConnectionsKeepTheirOwnRecords) {
  TServiceData& service = AddService("ORA", Sniffer(0));
  svc_.deadConnectionTimeout = 1440;
  auto program = [](uint16_t port, int generation) {
    return "P" + std::to_string(port) + "G" + std::to_string(generation);  // stored upper case
  };
  auto call = [&](uint16_t port) {
    FromClient(port, TnsStatement("select " + std::to_string(port) + " from dual", false));
    FromServer(port, testsupport::TnsReply(false));
  };
  constexpr uint16_t kFirst = 41000, kCount = 200;
  for (uint16_t p = kFirst; p < kFirst + kCount; ++p) Connect(p, program(p, 1));
  for (uint16_t p = kFirst; p < kFirst + kCount; ++p) call(p);
  // Every other connection ends: records leave from the middle of the list.
  for (uint16_t p = kFirst; p < kFirst + kCount; p += 2) FromClient(p, TnsEnd(false));
  ASSERT_EQ(service.passiveConnections.size(), kCount / 2u);
  // A client port used again is a new connection of its own.
  next_seq_.erase({kFirst, false});
  next_seq_.erase({kFirst, true});
  Connect(kFirst, program(kFirst, 2));
  call(kFirst);
  for (uint16_t p = kFirst + 1; p < kFirst + kCount; p += 2) call(p);
  // Among this many records a new connection still sweeps the silent ones.
  service.passiveConnections[1]->lastActivity = platform::NowDateTime() - 2.0;
  const double silent_port = service.passiveConnections[1]->clientPort;
  service.passiveSweptAt = 0;
  Connect(40001);
  EXPECT_EQ(service.passiveConnections.size(), kCount / 2u + 1);
  for (const auto& r : service.passiveConnections) EXPECT_NE(r->clientPort, silent_port);

  for (uint16_t p = kFirst + 1; p < kFirst + kCount; p += 2) {
    if (p != silent_port) FromClient(p, TnsEnd(false));
  }
  FromClient(kFirst, TnsEnd(false));
  FromClient(40001, TnsEnd(false));
  EXPECT_TRUE(service.passiveConnections.empty());
  EXPECT_TRUE(service.passiveIndex.empty());

  std::map<std::string, std::vector<std::string>> programs_of;  // statement -> programs
  for (const auto& row : History()) programs_of[row[0]].push_back(row[4]);
  ASSERT_EQ(programs_of.size(), size_t{kCount});
  for (uint16_t p = kFirst; p < kFirst + kCount; ++p) {
    std::vector<std::string> want{program(p, 1)};
    if (p == kFirst) want.push_back(program(p, 2));
    if (p % 2 == 1) want.push_back(program(p, 1));
    EXPECT_EQ(programs_of["select " + std::to_string(p) + " from dual"], want) << p;
  }
}

// The capture's segments come cut anywhere, out of order, twice, overlapping, or not at all:
// the streams are put together again before they are decoded, and a lost segment costs only
// the request it carried.
TEST_F(Passive, SegmentsAreReassembledAndALostOneCostsOnlyItsRequest) {
  TServiceData& service = AddService("ORA", Sniffer(0));
  Connect(40001);
  FromClient(40001, TnsAuth("SCOTT", false));
  FromServer(40001, testsupport::TnsReply(false));
  const std::vector<std::string> statements = {"select a from t1", "select b from t2",
                                               "select c from t3", "select d from t4"};
  for (size_t i = 0; i < statements.size(); ++i) {
    const std::string packet = TnsStatement(statements[i], false);
    const uint32_t seq = Advance(40001, false, packet.size());
    if (i == 1) continue;  // lost by the capture
    // Pieces of 1..13 bytes, last first, each sent twice, plus one overlapping the first two.
    std::vector<std::pair<uint32_t, std::string>> pieces;
    for (size_t at = 0, n = 1; at < packet.size(); at += n, n = n % 13 + 1) {
      pieces.push_back({seq + static_cast<uint32_t>(at), packet.substr(at, n)});
    }
    pieces.push_back({seq, packet.substr(0, 4)});
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
      for (int copy = 0; copy < 2; ++copy) {
        FrameOptions o;
        o.seq = it->first;
        Feed(TcpFrame(kClient, 40001, kServer, kOraclePort, it->second, o));
      }
    }
    // The server's answer acknowledges every client byte so far.
    FrameOptions answer;
    answer.seq = Advance(40001, true, testsupport::TnsReply(false).size());
    std::vector<uint8_t> reply =
        TcpFrame(kServer, kOraclePort, kClient, 40001, testsupport::TnsReply(false), answer);
    const uint32_t ack = seq + static_cast<uint32_t>(packet.size());
    for (int b = 0; b < 4; ++b) reply[14 + 20 + 8 + b] = static_cast<uint8_t>(ack >> (24 - 8 * b));
    Feed(reply);
  }
  FromClient(40001, TnsEnd(false));
  EXPECT_TRUE(service.passiveConnections.empty());
  std::vector<std::string> stored;
  for (const auto& row : History()) stored.push_back(row[0]);
  EXPECT_EQ(stored, (std::vector<std::string>{"select a from t1", "select c from t3",
                                              "select d from t4"}));
  const auto health = service.health.Snapshot();
  EXPECT_EQ(health[static_cast<size_t>(Health::kGaps)], 1u);
  EXPECT_TRUE(ErrorLog().empty());
}

TEST_F(Passive, TwoServicesOnOneSnifferKeepTheirOwnRecords) {
  TServiceData& a = AddService("A", Sniffer(0));
  TServiceData& b = AddService("B", Sniffer(0));
  Connect(40001);
  FromClient(40001, TnsStatement("select 1 from dual", false));
  ASSERT_EQ(a.passiveConnections.size(), 1u);
  ASSERT_EQ(b.passiveConnections.size(), 1u);
  EXPECT_NE(a.passiveConnections[0].get(), b.passiveConnections[0].get());
  EXPECT_EQ(a.passiveConnections[0]->connectionNo, 0);
  EXPECT_EQ(b.passiveConnections[0]->connectionNo, 1);
  EXPECT_NE(a.passiveConnections[0]->sessionId, b.passiveConnections[0]->sessionId);
  FromClient(40001, TnsEnd(false));
  const auto rows = Rows(Db(), "select srvc_id from qx_client_sql_history order by srvc_id");
  EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"1"}, {"2"}}));
  EXPECT_TRUE(a.passiveConnections.empty());
  EXPECT_TRUE(b.passiveConnections.empty());
}

TEST_F(Passive, AnExcludedConnectionTakesNoNumbers) {
  TServiceData& service = AddService("ORA", Sniffer(0));
  service::TServiceFilter exclude;
  exclude.filter_type = "EXCLUDE";
  exclude.program = "TOAD.EXE";
  service.serviceFilters.push_back(exclude);

  Connect(40001, "toad.exe");
  EXPECT_EQ(Monitored(service), 0u);
  EXPECT_EQ(service.totalConnections.load(), 0);
  EXPECT_EQ(svc_.nextConnectionNo.load(), 0);
  EXPECT_TRUE(ServiceLogHas(
      "Service :: ORA Disabling monitoring of new connection from host BOX"));
  FromClient(40001, TnsStatement("select 1 from dual", false));  // ignored

  Connect(40002);
  ASSERT_EQ(Monitored(service), 1u);
  EXPECT_EQ(service.passiveConnections.back()->connectionNo, 0);
  EXPECT_EQ(service.passiveConnections.back()->sessionId, 1);
  EXPECT_EQ(svc_.nextConnectionNo.load(), 1);
  EXPECT_EQ(History().size(), 0u);
}

TEST_F(Passive, TheSweepClosesWhatHasBeenSilentForTheTimeout) {
  TServiceData& service = AddService("ORA", Sniffer(0));
  svc_.deadConnectionTimeout = 1440;
  Connect(40001);
  FromClient(40001, TnsStatement("select 1 from dual", false));
  Connect(1521);
  ASSERT_EQ(service.passiveConnections.size(), 2u);
  const double now = platform::NowDateTime();
  const double second = 1.0 / 86400.0;
  service.passiveConnections[0]->lastActivity = now - 1.0 + second;  // one second short
  service.passiveConnections[1]->lastActivity = now - 1.0;            // 24 hours
  {
    std::lock_guard<std::mutex> lock(service.passiveMu);
    SweepDeadConnections(svc_, service, now);
  }
  ASSERT_EQ(service.passiveConnections.size(), 1u);
  EXPECT_EQ(service.passiveConnections[0]->clientPort, 40001);
  EXPECT_TRUE(ServiceLogHas("Timeout client connection from IP 10.0.0.7 port 1521 disconnected."));

  // The next new connection sweeps; the debug setting does not silence the timeout line.
  svc_.debugConnections = false;
  service.passiveConnections[0]->lastActivity = now - 2.0;
  Connect(40003);
  ASSERT_EQ(service.passiveConnections.size(), 1u);
  EXPECT_EQ(service.passiveConnections[0]->clientPort, 40003);
  EXPECT_TRUE(ServiceLogHas("Timeout client connection from IP 10.0.0.7 port 40001 disconnected."));
  // Its statement was stored with elapsed time 0.
  EXPECT_EQ(Rows(Db(), "select exec_time from qx_client_sql_history"),
            (std::vector<std::vector<std::string>>{{"0"}}));
}

TEST_F(Passive, AConnectionIsTrackedWhenNoSessionNumberCanBeDrawn) {
  TServiceData& service = AddService("ORA", Sniffer(0));
  svc_.session->Disconnect();  // no session number can be taken
  Connect(40001);
  ASSERT_EQ(Monitored(service), 1u);
  EXPECT_EQ(service.passiveConnections[0]->sessionId, 0);
  const auto errors = ErrorLog();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Unable to draw a session number: ", 0), 0u) << errors[0];

  svc_.session->Connect();
  Connect(40002);
  EXPECT_EQ(Monitored(service), 2u);
  EXPECT_NE(service.passiveConnections[1]->sessionId, 0);
}

TEST_F(Passive, TaggedFramesAreHandledOnceAsTheFrameInside) {
  TServiceData& service = AddService("ORA", Sniffer(0));
  for (int tags : {1, 2}) {
    FrameOptions options;
    options.vlan_tags = tags;
    const uint16_t port = static_cast<uint16_t>(40000 + tags);
    const auto frame =
        TcpFrame(kClient, port, kServer, kOraclePort, TnsConnect("p", "h", "u", "s"), options);
    Feed(frame);  // the TCP handler leaves tagged frames alone
    EXPECT_EQ(service.passiveConnections.size(), static_cast<size_t>(tags - 1));
    sniffer::Tpcap_pkthdr header{};
    header.caplen = static_cast<uint32_t>(frame.size());
    header.len = header.caplen;
    PassiveTaggedFrame(svc_, Sniffer(0), &header, frame.data());
    EXPECT_EQ(service.passiveConnections.size(), static_cast<size_t>(tags));
  }
}

TEST_F(Passive, TeardownStoresWhatOpenConnectionsHold) {
  TServiceData& service = AddService("ORA", Sniffer(0));
  Connect(40001);
  FromClient(40001, TnsStatement("select 1 from dual", false));
  FromClient(40001, TnsStatement("select 2 from dual", false));
  FlushPassiveConnections(svc_, service);
  EXPECT_TRUE(service.passiveConnections.empty());
  EXPECT_EQ(History().size(), 2u);
  EXPECT_TRUE(ServiceLogHas("Connection disconnected for host BOX"));
}

// Random and cut frames must neither crash nor read outside what was captured (the sanitizer
// builds check the latter): each frame lives in a buffer of exactly its captured size.
TEST_F(Passive, FuzzRandomAndTruncatedFrames) {
  AddService("ORA", Sniffer(0));
  svc_.debugConnections = false;
  std::mt19937 rng(12345);
  const std::vector<std::vector<uint8_t>> seeds = {
      TcpFrame(kClient, 40001, kServer, kOraclePort, TnsConnect("p", "h", "u", "s")),
      TcpFrame(kClient, 40001, kServer, kOraclePort, TnsStatement("select 1 from dual", false)),
      TcpFrame(kClient, 40001, kServer, kOraclePort, TnsEnd(true)),
      TcpFrame(kServer, kOraclePort, kClient, 40001, "answer"),
  };
  const auto budget = std::chrono::milliseconds(test::UnderSanitizer() ? 1500 : 2000);
  const auto until = std::chrono::steady_clock::now() + budget;
  size_t frames = 0;
  while (std::chrono::steady_clock::now() < until) {
    std::vector<uint8_t> f = seeds[rng() % seeds.size()];
    switch (rng() % 4) {
      case 0:  // random bytes
        f.resize(rng() % 120);
        for (auto& b : f) b = static_cast<uint8_t>(rng());
        break;
      case 1:  // mutated header bytes
        for (int i = 0; i < 3; ++i) f[14 + rng() % 40] = static_cast<uint8_t>(rng());
        break;
      case 2:  // mutated anywhere
        for (int i = 0; i < 4; ++i) f[rng() % f.size()] = static_cast<uint8_t>(rng());
        break;
      default:
        break;
    }
    f.resize(f.empty() ? 0 : rng() % (f.size() + 1));  // truncated by the capture
    auto exact = std::make_unique<uint8_t[]>(f.size() ? f.size() : 1);
    std::copy(f.begin(), f.end(), exact.get());
    const std::string text = TcpPayloadText(exact.get(), f.size());
    ASSERT_LE(text.size(), f.size());
    PassiveFrame(svc_, Sniffer(0), exact.get(), f.size());
    sniffer::Tpcap_pkthdr header{};
    header.caplen = static_cast<uint32_t>(f.size());
    PassiveTaggedFrame(svc_, Sniffer(0), &header, exact.get());
    ++frames;
  }
  EXPECT_GT(frames, 100u);
}

}  // namespace
}  // namespace qx::capture
