// Active mode end to end: the real qxservice in a temporary program directory relays Oracle Net
// traffic played by the test peer (build/qxpeer) between a client and a stand-in listener on
// loopback, and the test reads what reached the logs and the SQLite repository. The peer checks
// that every byte arrives unchanged on both sides; the repository must then hold what the
// monitoring took from the traffic.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/connect_descriptor.h"
#include "platform/net.h"
#include "sql/byte_text.h"
#include "sql/statement_extract.h"
#include "support/expected_sessions.h"
#include "support/pcap_reader.h"
#include "support/qxpeer_runner.h"
#include "support/test_util.h"

namespace qx::test {
namespace {

using Row = std::vector<std::string>;
using qx::testing::FreePort;
using qx::testing::PeerOutcome;
using qx::testing::PeerProcess;
using qx::testing::RunPeer;

std::vector<Row> Query(const std::string& db_path, const std::string& sql) {
  return qx::test::SqliteRows(db_path, sql);
}

size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Index of the first line equal to `line` at or after `from`; npos when none.
size_t IndexOf(const std::vector<std::string>& lines, const std::string& line, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i] == line) return i;
  }
  return std::string::npos;
}

// One service "ORCL" relaying work port -> 127.0.0.1:oracle port, run as the real executable.
class ActiveMode : public ::testing::Test {
 protected:
  void SetUp() override {
    CopyFileTo(BinaryPath("qxservice"), dir_.File("qxservice"));
    CopyFileTo(BinaryPath("qxadmin"), dir_.File("qxadmin"));
    oracle_ = FreePort();
    do work_ = FreePort(); while (work_ == oracle_);
    do manage_ = FreePort(); while (manage_ == oracle_ || manage_ == work_);
    Admin({"init", "sqlite:repo.db"});
    Admin({"-r", "sqlite:repo.db", "service", "add", "--name", "ORCL", "--oracle-host",
           "127.0.0.1", "--oracle-port", std::to_string(oracle_), "--work-port",
           std::to_string(work_), "--manage-port", std::to_string(manage_)});
  }
  void TearDown() override {
    if (service_ && service_->Running()) Stop();
  }

  void Admin(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {dir_.File("qxadmin")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    ASSERT_EQ(RunProgram(argv, &out), 0) << out;
  }

  // Starts qxservice with these extra [Service] lines and waits for its relay listener.
  void Start(const std::string& extra_ini = "") {
    WriteText(dir_.File("qxservice.ini"),
              "[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=ORCL\n" + extra_ini);
    service_ = std::make_unique<Child>(std::vector<std::string>{dir_.File("qxservice")},
                                       dir_.File("stdout.txt"));
    const std::string ready = "Quorvex listener for service ORCL has been successfully started on port " +
                              std::to_string(work_) + " Monitoring clients connecting to 127.0.0.1:" +
                              std::to_string(oracle_);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(ServiceLog(), ready) == 1; }, 20000))
        << ReadText(dir_.File("qxservice.log"));
    ASSERT_EQ(CountOf(ServiceLog(), "Service successfully started."), 1u);
  }
  // SIGTERM; returns the exit status (a sanitizer's finding makes it non-zero; its report is
  // then printed).
  int Stop() {
    service_->Signal(SIGTERM);
    const int status = service_->Wait(60000);
    if (status != 0) std::cerr << ReadText(dir_.File("stdout.txt"));
    return status;
  }

  std::string PeerArgs() const {
    return "--relay 127.0.0.1:" + std::to_string(work_) + " --listen 127.0.0.1:" +
           std::to_string(oracle_);
  }
  std::vector<std::string> ServiceLog() { return LogMessages(dir_.File("qxservice.log")); }
  std::vector<std::string> ErrorLog() { return LogMessages(dir_.File("qxerror.log")); }
  std::vector<Row> Db(const std::string& sql) { return Query(dir_.File("repo.db"), sql); }
  size_t HistoryCount() {
    const auto rows = Db("select count(*) from qx_client_sql_history");
    return rows.empty() ? 0 : std::stoul(rows[0][0]);
  }
  // Every history row in insertion order: session, statement, exec_time, then the identity.
  std::vector<Row> History() {
    return Db(
        "select h.session_id, s.sqltext || ifnull(s.sqltext1, '') || ifnull(s.sqltext2, '') || "
        "ifnull(s.sqltext3, ''), h.exec_time, h.service_name, h.sid, h.program, h.host, "
        "h.username, h.orauser, h.ip from qx_client_sql_history h join qx_client_sql s on "
        "s.id = h.sql_id order by h.id");
  }
  // History rows grouped by session, in the order of each session's first row.
  std::vector<std::vector<Row>> HistoryBySession() {
    std::vector<std::string> order;
    std::map<std::string, std::vector<Row>> by_session;
    for (Row& r : History()) {
      if (!by_session.count(r[0])) order.push_back(r[0]);
      by_session[r[0]].push_back(std::move(r));
    }
    std::vector<std::vector<Row>> out;
    for (const std::string& id : order) out.push_back(std::move(by_session[id]));
    return out;
  }

  TempDir dir_;
  uint16_t oracle_ = 0, work_ = 0, manage_ = 0;
  std::unique_ptr<Child> service_;
};

// --- recorded sessions ---------------------------------------------------------------------

struct Identity {
  std::string serviceName, sid, program, host, username, orauser;
};

// What the monitoring should store for one recorded connection: its identity and the
// statements its client executed, as written down from the wire (expected_sessions.h).
struct ExpectedSession {
  Identity identity;
  std::vector<std::string> statements;
};

std::vector<ExpectedSession> ExpectedFromCapture(const std::string& file) {
  std::vector<ExpectedSession> out;
  for (const auto& e : testsupport::ExpectedSessions(file)) {
    if (!e.descriptor || e.statements.empty()) continue;
    const capture::TConnectIdentity id =
        capture::DecodeConnectDescriptor(sql::UpperCase(e.descriptorText));
    // The repository keeps a text's first 8000 characters (four 2000-character columns).
    std::vector<std::string> stored;
    for (const std::string& text : e.statements) stored.push_back(text.substr(0, 8000));
    out.push_back({{id.serviceName.value_or(""), id.sid.value_or(""), id.program.value_or(""),
                    id.host.value_or(""), id.username.value_or(""), e.orauser},
                   std::move(stored)});
  }
  return out;
}

TEST_F(ActiveMode, RecordedSessionsArriveIdenticalAndAreStored) {
  const std::string dir = qx::testing::CapturesDir();
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no recorded sessions at " << dir;
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".pcap" || ext == ".pcapng") files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());

  Start();
  std::vector<ExpectedSession> expected;
  for (const std::string& file : files) {
    const PeerOutcome o = RunPeer("replay --capture " + dir + file + " --session all " + PeerArgs());
    EXPECT_EQ(o.status, 0) << file << "\n" << o.output;
    EXPECT_NE(o.output.find("result: identical"), std::string::npos) << file << "\n" << o.output;
    for (ExpectedSession& s : ExpectedFromCapture(file)) expected.push_back(std::move(s));
  }
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{});

  // The identities, written out.
  const std::vector<Identity> identities = {
      {"", "ORCL10", "SQLPLUS@KALI", "KALI", "ROOT", "SYS"},
      {"", "ORCL10", "SQLPLUS@KALI", "KALI", "ROOT", "HACKERMAN"},
      {"ORCL", "", "C:\\INSTANTCLIENT_11_2\\SQLPLUS.EXE", "WIN-7RSSC38TVCL", "ADMINISTRATOR",
       "TESTUSER"},
      {"ORCL", "", "SQLPLUS@GODBOX", "GODBOX", "DSK", "OPENWALL"},
      {"XE", "", "SQLPLUS", "09EB2A35DC16", "ORACLE", "TEST"},
      {"XE", "", "/USR/BIN/PYTHON3", "VM", "ROOT", "SCOTT"},  // cooked v1
      {"XE", "", "/USR/BIN/PYTHON3", "VM", "ROOT", "SCOTT"},  // cooked v2
      {"XE", "", "/USR/BIN/PYTHON3", "VM", "ROOT", "SCOTT"},  // IPv6
      {"SECSPH", "", "C:\\PROGRAM FILES\\QUEST SOFTWARE\\TOAD\\TOAD.EXE", "THOMAS", "THOMAS",
       "SECURE"},
  };
  ASSERT_EQ(expected.size(), identities.size()) << "a new capture needs its identities here";

  const std::vector<std::vector<Row>> sessions = HistoryBySession();
  ASSERT_EQ(sessions.size(), expected.size());
  std::set<std::string> all_statements;
  for (size_t i = 0; i < sessions.size(); ++i) {
    const Identity& want = identities[i];
    const ExpectedSession& e = expected[i];
    EXPECT_EQ(e.identity.program, want.program) << "session " << i;
    EXPECT_EQ(e.identity.orauser, want.orauser) << "session " << i;
    // Host names of recorded workstations rarely resolve here; the client's socket address
    // (loopback) is taken instead.
    std::string ip = platform::ResolveHostIPv4(want.host);
    if (ip.empty()) ip = "127.0.0.1";
    std::vector<std::string> got_statements;
    for (const Row& r : sessions[i]) {
      got_statements.push_back(r[1]);
      all_statements.insert(r[1]);
      EXPECT_EQ(Row(r.begin() + 3, r.end()),
                (Row{want.serviceName, want.sid, want.program, want.host, want.username,
                     want.orauser, ip}))
          << "session " << i << " statement " << r[1];
    }
    EXPECT_EQ(got_statements, e.statements) << "session " << i;
  }
  // Each distinct statement is catalogued once, as its client sent it.
  std::set<std::string> catalogue;
  for (const Row& r : Db("select sqltext || ifnull(sqltext1, '') || ifnull(sqltext2, '') || "
                         "ifnull(sqltext3, '') from qx_client_sql")) {
    catalogue.insert(r[0]);
  }
  EXPECT_EQ(catalogue, all_statements);
  EXPECT_EQ(CountOf(ServiceLog(), "Connection was not successful."), 0u);
}

// With StatementCapture=keyword the texts are those the keyword search finds in each request,
// upper-cased, as older installations stored them: the logon's AUTH_ALTER_SESSION key and the
// 64-byte pieces' length bytes included.
TEST_F(ActiveMode, KeywordCaptureStoresWhatTheKeywordSearchFinds) {
  Start("StatementCapture=keyword\n");
  const PeerOutcome o = RunPeer("replay --capture " + qx::testing::CapturesDir() +
                                "Oracle-good.pcap --session all " + PeerArgs());
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("result: identical"), std::string::npos) << o.output;
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(CountOf(ServiceLog(), "Statement texts are taken by keyword search."), 1u);
  std::vector<std::string> statements;
  for (const Row& r : History()) statements.push_back(r[1]);
  ASSERT_EQ(statements.size(), 7u);
  EXPECT_EQ(statements[0].rfind("ALTER_SESSION", 0), 0u) << statements[0];
  EXPECT_EQ(statements[1], "SELECT USER FROM DUAL");
  EXPECT_EQ(statements[6], "SELECT DECODE('A','A','1','2') FROM DUAL");
  EXPECT_NE(statements[4].find("(USERID1 = 'PUBLIC')"), std::string::npos) << statements[4];
  for (const std::string& t : statements) EXPECT_EQ(t, sql::UpperCase(t));
}

// Failed logons are traced with the identity and counted; the managing port tells the counts.
TEST_F(ActiveMode, LogonsAndCaptureStatistics) {
  Start("DebugConnections=1\n");
  const PeerOutcome o = RunPeer("replay --capture " + qx::testing::CapturesDir() +
                                "try-1-simple.pcap --session all " + PeerArgs());
  EXPECT_EQ(o.status, 0) << o.output;
  std::string stats;
  ASSERT_EQ(RunProgram({dir_.File("qxadmin"), "status", "127.0.0.1:" + std::to_string(manage_),
                        "getCaptureStats"},
                       &stats),
            0)
      << stats;
  EXPECT_NE(stats.find("connections=2@QXR@joined_midstream=0@QXR@excluded=0@QXR@"
                       "logons_failed=2@QXR@executions=0@QXR@unknown_cursors=0@QXR@fallbacks=0"),
            std::string::npos)
      << stats;
  EXPECT_EQ(Stop(), 0);
  const auto conn_log = Lines(ReadText(dir_.File("ORCL.log")));
  size_t failed = 0, ok = 0;
  for (const std::string& l : conn_log) {
    failed += l.find("Failed logon of user ROOT (ORA-1017) from host GODBOX") != std::string::npos;
    ok += l.find(": Logon of user SYS from host GODBOX") != std::string::npos;
  }
  EXPECT_EQ(failed, 2u);
  EXPECT_EQ(ok, 1u);
}

// --- connections that never carry a whole descriptor -----------------------------------------

// A plain loopback client: connects, optionally waits for the relay to close it.
int ConnectLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True when the peer closes the connection within timeout_ms (EOF or reset).
bool ClosedByPeer(int fd, int timeout_ms) {
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char c;
  const ssize_t n = recv(fd, &c, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

TEST_F(ActiveMode, ConnectionsWithoutADescriptorAreNotSuccessful) {
  Start();
  auto initialized_then_failed = [&](int n) {
    const std::string init = "Connection # " + std::to_string(n) + " initialized.";
    EXPECT_TRUE(WaitUntil(
        [&] {
          const auto log = ServiceLog();
          const size_t i = IndexOf(log, init);
          return i != std::string::npos &&
                 IndexOf(log, "Connection was not successful.", i + 1) != std::string::npos;
        },
        10000))
        << init << "\n" << ReadText(dir_.File("qxservice.log"));
  };

  // Nothing listens on the Oracle port: the client is closed at once.
  int fd = ConnectLoopback(work_);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(ClosedByPeer(fd, 5000));
  close(fd);
  initialized_then_failed(0);

  // The Oracle side accepts; the client leaves without sending anything. Its close is passed
  // on, and the connection ends when the server's side does.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(oracle_);
  const int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  fd = ConnectLoopback(work_);
  ASSERT_GE(fd, 0);
  close(fd);
  close(listener);
  initialized_then_failed(1);

  // Every send arrives in pieces of 100 bytes, so the descriptor, which starts at byte 58 of
  // the CONNECT packet, is cut inside its CONNECT_DATA: the packet is put together again
  // before it is read, and the session is recorded like any other.
  const PeerOutcome o = RunPeer("generate --statements 2 --chunk-bytes 100 --chunk-gap-ms 40 " +
                                PeerArgs());
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("result: identical"), std::string::npos) << o.output;

  EXPECT_EQ(Stop(), 0);
  const auto log = ServiceLog();
  EXPECT_EQ(CountOf(log, "Connection was not successful."), 2u);
  EXPECT_EQ(IndexOf(log, "Connection # 3 initialized."), std::string::npos);
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{});
  EXPECT_EQ(Db("select count(*) from qx_client_sql")[0][0], "2");
  EXPECT_EQ(HistoryCount(), 2u);
}

// --- filters, resets, batches --------------------------------------------------------------

TEST_F(ActiveMode, ExcludedConnectionIsRelayedButNotRecorded) {
  Admin({"-r", "sqlite:repo.db", "service-filter", "add", "--service", "ORCL", "--type",
         "EXCLUDE", "--program", "HIDDEN.EXE"});
  Start("DebugConnections=1\n");
  PeerOutcome o = RunPeer("generate --statements 5 --program hidden.exe --host hidehost " +
                          PeerArgs());
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("result: identical"), std::string::npos) << o.output;
  o = RunPeer("generate --statements 5 --host showhost " + PeerArgs());
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_EQ(Stop(), 0);

  const auto log = ServiceLog();
  EXPECT_EQ(CountOf(log, "Disabling monitoring of new connection from host HIDEHOST"), 1u);
  EXPECT_EQ(CountOf(log, "Enabling monitoring of new connection from host SHOWHOST"), 1u);
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{});
  const auto sessions = HistoryBySession();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].size(), 5u);
  for (const Row& r : sessions[0]) EXPECT_EQ(r[6], "SHOWHOST");
  // The excluded connection's trace (written whole at its end) shows only the chunk that
  // carried its descriptor; its later chunks were not looked at.
  const auto conn_log = Lines(ReadText(dir_.File("ORCL.log")));
  const std::string raw = "---------------- To Server Raw Data -----------------";
  EXPECT_EQ(CountOf(conn_log, "Connection# 0: " + raw), 2u);
  EXPECT_GT(CountOf(conn_log, "Connection# 1: " + raw), 2u);
  EXPECT_EQ(CountOf(conn_log, "Connection# 0: Excluding this connection according to filter # 1"),
            1u);
}

TEST_F(ActiveMode, AResetByEitherSideStoresTheCurrentStatement) {
  Start("DebugConnections=1\n");
  for (const char* end : {"client-reset", "server-reset"}) {
    const PeerOutcome o = RunPeer(std::string("generate --statements 3 --end ") + end + " " +
                                  PeerArgs());
    EXPECT_EQ(o.status, 0) << end << "\n" << o.output;
  }
  const std::string line = "Disconnect exception from host HOST. Connection closed.";
  EXPECT_TRUE(WaitUntil([&] { return ErrorLog().size() >= 2; }, 10000));
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(ErrorLog(), (std::vector<std::string>{line, line}));
  for (const std::string& l : ServiceLog()) {
    EXPECT_EQ(l.find("disconnected for host"), std::string::npos) << l;
  }
  const auto sessions = HistoryBySession();
  ASSERT_EQ(sessions.size(), 2u);
  for (const auto& rows : sessions) {
    std::vector<std::string> statements;
    for (const Row& r : rows) statements.push_back(r[1]);
    EXPECT_EQ(statements, (std::vector<std::string>{"SELECT 1 FROM DUAL", "SELECT 2 FROM DUAL",
                                                    "SELECT 3 FROM DUAL"}));
  }
}

TEST_F(ActiveMode, HistoryIsWrittenInBatchesOfTheCacheSize) {
  Start("sqlHistCacheCount=2\n");
  PeerProcess peer("generate --statements 5 --think-ms 300 " + PeerArgs());
  ASSERT_TRUE(peer.started());
  // An execution is queued when its answer is complete; the queue is written each time it
  // holds two, and the fifth at the end.
  std::vector<size_t> seen = {0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  PeerOutcome o;
  for (;;) {
    size_t n = HistoryCount();
    if (n != seen.back()) {
      // A batch is written row by row: look again once it has surely been completed.
      SleepMs(40);
      n = HistoryCount();
      if (n != seen.back()) seen.push_back(n);
    }
    if (n == 5 || std::chrono::steady_clock::now() > deadline) break;
    SleepMs(10);
  }
  o = peer.Wait(20000);
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_EQ(seen, (std::vector<size_t>{0, 2, 4, 5}));
  EXPECT_EQ(Stop(), 0);
}

// --- load and teardown ----------------------------------------------------------------------

TEST_F(ActiveMode, ManyConcurrentSessionsThroughOneRelay) {
  const int sessions = UnderSanitizer() ? 20 : 200;
  const int statements = UnderSanitizer() ? 10 : 50;
  Start();
  const PeerOutcome o = RunPeer("generate --sessions " + std::to_string(sessions) +
                                " --concurrency " + std::to_string(sessions) + " --statements " +
                                std::to_string(statements) + " --connect-gap-ms 2 --timeout 60 " +
                                PeerArgs());
  EXPECT_EQ(o.status, 0) << o.output;
  const std::string n = std::to_string(sessions);
  EXPECT_NE(o.output.find("sessions: " + n + ", client sides ok " + n + " failed 0, server sides ok " +
                          n + " failed 0"),
            std::string::npos)
      << o.output;
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{});
  const auto per_session =
      Db("select count(*), count(distinct sql_id) from qx_client_sql_history group by session_id");
  ASSERT_EQ(per_session.size(), static_cast<size_t>(sessions));
  for (const Row& r : per_session) {
    EXPECT_EQ(r, (Row{std::to_string(statements), std::to_string(statements)}));
  }
  EXPECT_EQ(Db("select count(*) from qx_client_sql")[0][0], std::to_string(statements));
}

// Five thousand clients connect in one burst and stay connected until all of them are in,
// then each runs its statements: none is refused or reset, every byte arrives, every
// execution is stored. The service runs with the descriptor limit its systemd unit gives it
// (LimitNOFILE), or the most this machine allows.
TEST_F(ActiveMode, FiveThousandSessionsAtOnceUnderTheUnitsLimits) {
  const int sessions = UnderSanitizer() ? 300 : 5000;
  const int statements = 20;
  // Inherited by qxservice and qxpeer: two descriptors a session in each, and some to spare.
  const long limit = RaiseDescriptorLimit(65536);
  if (limit < 2 * sessions + 100) GTEST_SKIP() << "the descriptor limit here is " << limit;
  Start();
  const PeerOutcome o = RunPeer("generate --together --sessions " + std::to_string(sessions) +
                                " --concurrency " + std::to_string(sessions) + " --statements " +
                                std::to_string(statements) + " --timeout 60 " + PeerArgs());
  const std::string n = std::to_string(sessions);
  EXPECT_NE(o.output.find("sessions: " + n + ", client sides ok " + n + " failed 0, server sides ok " +
                          n + " failed 0"),
            std::string::npos)
      << o.output.substr(0, 2000);
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{});
  EXPECT_EQ(Db("select count(*), count(distinct session_id) from qx_client_sql_history")[0],
            (Row{std::to_string(sessions * statements), n}));
}

TEST_F(ActiveMode, TeardownFlushesOpenConnections) {
  constexpr int kSessions = 20;
  Start("DebugConnections=1\n");
  // Each client logs in, waits 5 s, runs SELECT 1, waits 5 s more, runs SELECT 2. The
  // service is stopped between the two, with every connection open and SELECT 1 current.
  // The clients name a host that resolves locally: a name that goes to the DNS server can
  // hold a login up for the resolver's time-out, and the logins would spread too far apart.
  PeerProcess peer("generate --sessions 20 --concurrency 20 --statements 2 --think-ms 5000 "
                   "--connect-gap-ms 10 --host localhost " + PeerArgs());
  ASSERT_TRUE(peer.started());
  const std::string enabled = "Enabling monitoring of new connection from host LOCALHOST";
  ASSERT_TRUE(WaitUntil([&] { return CountOf(ServiceLog(), enabled) == kSessions; }, 15000));
  SleepMs(6000);
  EXPECT_EQ(Stop(), 0);
  peer.Wait(30000);  // its sessions fail: the relay went away under them

  const auto log = ServiceLog();
  const std::string disconnected = "Connection disconnected for host LOCALHOST";
  EXPECT_EQ(CountOf(log, disconnected), static_cast<size_t>(kSessions));
  const size_t last_disconnect = [&] {
    size_t last = 0;
    for (size_t i = 0; i < log.size(); ++i) {
      if (log[i] == disconnected) last = i;
    }
    return last;
  }();
  const size_t managing = IndexOf(log, "Managing listener for service ORCL has been stopped.");
  const size_t relay = IndexOf(log, "Quorvex listener for service ORCL has been stopped.");
  ASSERT_NE(managing, std::string::npos);
  ASSERT_NE(relay, std::string::npos);
  EXPECT_LT(last_disconnect, managing);
  EXPECT_LT(managing, relay);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "Service successfully shutdown.");
  for (const std::string& l : log) {
    // The relay's own disconnect handler found nothing left to close.
    EXPECT_FALSE(l.rfind("Connection # ", 0) == 0 &&
                 l.find(" disconnected for host ") != std::string::npos)
        << l;
    EXPECT_NE(l, "Connection was not successful.");
  }
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{});
  size_t traced = 0;
  for (const std::string& l : Lines(ReadText(dir_.File("ORCL.log")))) {
    if (l.size() > disconnected.size() &&
        l.compare(l.size() - disconnected.size(), disconnected.size(), disconnected) == 0) {
      ++traced;
    }
  }
  EXPECT_EQ(traced, static_cast<size_t>(kSessions));

  const auto sessions = HistoryBySession();
  ASSERT_EQ(sessions.size(), static_cast<size_t>(kSessions));
  for (const auto& rows : sessions) {
    std::vector<std::string> statements;
    for (const Row& r : rows) statements.push_back(r[1]);
    EXPECT_EQ(statements, (std::vector<std::string>{"SELECT 1 FROM DUAL"}));
  }
}

}  // namespace
}  // namespace qx::test
