// Real Oracle thin clients (python-oracledb and node-oracledb) run their scripted workloads
// against the stand-in Oracle server (build/qxoracle-standin), directly and through a running
// qxservice in active mode. Tests of a client that is not installed are skipped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/running_service.h"
#include "support/thin_clients.h"

namespace qx::test {
namespace {

class ThinClient : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!ClientPresent(GetParam())) {
      GTEST_SKIP() << ClientMissingReason(GetParam());
    }
  }
  // The workload's executions must appear in the stand-in's log, in order, as executions with
  // their text (the first of each statement) or re-executions of the cursor parsed from it.
  void ExpectLoggedExactly(const WorkloadResult& run, const std::vector<StandinEvent>& events) {
    ASSERT_EQ(run.code, 0) << run.output;
    EXPECT_TRUE(run.summary) << run.output;
    ASSERT_EQ(run.executions.size(), 13u) << run.output;
    EXPECT_EQ(Executions(events, false), run.executions);
    std::vector<std::string> first_of_each;
    for (const std::string& e : run.executions) {
      if (std::find(first_of_each.begin(), first_of_each.end(), e) == first_of_each.end()) {
        first_of_each.push_back(e);
      }
    }
    EXPECT_EQ(Executions(events, true), first_of_each);
    for (const char* event : {"CONNECT", "LOGON", "COMMIT", "ROLLBACK", "LOGOFF", "CLOSE"}) {
      EXPECT_TRUE(HasEvent(events, event)) << event;
    }
    EXPECT_FALSE(HasEvent(events, "ERROR"));
    EXPECT_FALSE(HasEvent(events, "UNSUPPORTED"));
  }

  // Runs the client's workload through a qxservice relaying to the stand-in, which the caller
  // started; stops the service before it returns. `repeat` adds the counting part.
  WorkloadResult RunThroughRelay(const Standin& standin, bool repeat) {
    WorkloadResult run;
    const int work_port = FreePort();
    int manage_port = FreePort();
    while (manage_port == work_port) manage_port = FreePort();
    EXPECT_EQ(PrepareService(dir_, {"--oracle-host", "127.0.0.1", "--oracle-port",
                                    std::to_string(standin.port()), "--work-port",
                                    std::to_string(work_port), "--manage-port",
                                    std::to_string(manage_port)}),
              "");
    Child service({dir_.File("qxservice")}, dir_.File("qxservice.out"));
    auto started = [&] {
      const auto log = LogMessages(dir_.File("qxservice.log"));
      return std::find(log.begin(), log.end(), "Service successfully started.") != log.end() &&
             std::any_of(log.begin(), log.end(), [](const std::string& m) {
               return m.rfind("Quorvex listener for service XE has been successfully started", 0) == 0;
             });
    };
    EXPECT_TRUE(WaitUntil(started, 20000)) << ReadText(dir_.File("qxservice.log"));
    if (repeat) setenv("QX_WORKLOAD_REPEAT", "1", 1);
    run = RunWorkload(GetParam(), work_port);
    if (repeat) unsetenv("QX_WORKLOAD_REPEAT");
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(20000), 0);
    return run;
  }

  TempDir dir_;
};

TEST_P(ThinClient, WorkloadAgainstTheStandinIsLoggedStatementByStatement) {
  Standin standin(dir_);
  ASSERT_GT(standin.port(), 0);
  const WorkloadResult run = RunWorkload(GetParam(), standin.port());
  ExpectLoggedExactly(run, standin.Events(1));
  // The long statement crossed a packet boundary and arrived whole.
  const auto texts = Executions(standin.Events(1), true);
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(),
                          [](const std::string& t) { return t.size() > 8192; }));
  EXPECT_EQ(standin.Stop(), 0);
}

TEST_P(ThinClient, WorkloadThroughAnActiveServiceIsRecorded) {
  Standin standin(dir_);
  ASSERT_GT(standin.port(), 0);
  const WorkloadResult run = RunThroughRelay(standin, false);
  // Unchanged behaviour for the client.
  ExpectLoggedExactly(run, standin.Events(1));

  // One history row per execution, re-executions of cached cursors included, in order, with
  // the text exactly as the client sent it and the client's identity. The logon's
  // AUTH_ALTER_SESSION is login data, never a statement.
  const auto rows = RecordedExecutions(dir_.File("repo.db"));
  const std::vector<std::string> executed = Executions(standin.Events(1), false);
  ASSERT_EQ(rows.size(), executed.size());
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const passwd* pw = getpwuid(geteuid());
  const std::string program_word = GetParam() == "python" ? "PYTHON" : "NODE";
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string expected = Unescape(executed[i]).substr(0, kStoredTextLimit);
    EXPECT_EQ(rows[i][0], expected) << "row " << i;
    EXPECT_EQ(rows[i][1], Upper(host));
    EXPECT_EQ(rows[i][2], "127.0.0.1");
    EXPECT_EQ(rows[i][3], Upper(kStandinUser));
    EXPECT_EQ(rows[i][4], "XE");
    EXPECT_NE(rows[i][5].find(program_word), std::string::npos) << rows[i][5];
    EXPECT_EQ(rows[i][6], pw ? Upper(pw->pw_name) : "");
  }
  EXPECT_EQ(standin.Stop(), 0);
}

// Statements run again from the client's statement cache go on the wire without their text;
// each execution still gets its row. Commits, fetches and cursor closes get none.
TEST_P(ThinClient, EveryExecutionIsCountedThroughTheRelay) {
  Standin standin(dir_);
  ASSERT_GT(standin.port(), 0);
  const WorkloadResult run = RunThroughRelay(standin, true);
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("ERROR 942"), std::string::npos) << run.output;
  const auto rows = RecordedExecutions(dir_.File("repo.db"));
  ASSERT_EQ(rows.size(), Executions(standin.Events(1), false).size());
  EXPECT_EQ(rows.size(), 13u + 50u + 50u + 1u);
  const auto count = [&rows](const std::string& text) {
    return std::count_if(rows.begin(), rows.end(), [&](const auto& r) { return r[0] == text; });
  };
  EXPECT_EQ(count("SELECT item FROM wl_orders WHERE id = :id"), 50);
  EXPECT_EQ(count("UPDATE wl_orders SET qty = qty + 1 WHERE id = :id /* standin:rows=3 */"), 50);
  EXPECT_EQ(count("SELECT * FROM missing_table"), 1);
  // Each execution's outcome as the server gave it and the client saw it: the UPDATE's row
  // count ("ROWCOUNT 3" per run), the query's one row, the refused statement's ORA-00942.
  const auto outcomes = SqliteRows(
      dir_.File("repo.db"),
      "select s.sqltext, h.rows_processed, h.error_code, count(*) from qx_client_sql_history h "
      "join qx_client_sql s on s.id = h.sql_id where s.sqltext in ('SELECT item FROM wl_orders "
      "WHERE id = :id', 'UPDATE wl_orders SET qty = qty + 1 WHERE id = :id /* standin:rows=3 */', "
      "'SELECT * FROM missing_table') group by 1, 2, 3 order by 1");
  EXPECT_EQ(outcomes, (std::vector<std::vector<std::string>>{
                          {"SELECT * FROM missing_table", "0", "942", "1"},
                          {"SELECT item FROM wl_orders WHERE id = :id", "1", "0", "50"},
                          {"UPDATE wl_orders SET qty = qty + 1 WHERE id = :id /* standin:rows=3 */",
                           "3", "0", "50"}}));
  EXPECT_NE(run.output.find("ROWCOUNT 3"), std::string::npos) << run.output;
  EXPECT_EQ(standin.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Clients, ThinClient, ::testing::Values("python", "node"),
                         [](const auto& info) { return info.param; });

// ---------------------------------------------------------------------------------------------

TEST(StandinServer, WrongPasswordGetsOra01017) {
  if (!ClientPresent("python")) GTEST_SKIP() << ClientMissingReason("python");
  TempDir dir;
  Standin standin(dir);
  const std::string script =
      "import sys, oracledb\n"
      "try:\n"
      "    oracledb.connect(user='scott', password='lion', dsn='127.0.0.1:" +
      std::to_string(standin.port()) +
      "/XE')\n"
      "except oracledb.DatabaseError as e:\n"
      "    print(e)\n"
      "    sys.exit(3)\n";
  std::string out;
  EXPECT_EQ(RunProgram({PythonPath(), "-c", script}, &out, 60000), 3) << out;
  EXPECT_NE(out.find("ORA-01017"), std::string::npos) << out;
  EXPECT_TRUE(HasEvent(standin.Events(1), "LOGON_FAILED"));
  EXPECT_FALSE(HasEvent(standin.Events(1), "LOGON"));
}

// Reads until the peer closes (or 5 s pass).
std::string ReadAll(int fd) {
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

int ConnectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(StandinServer, RefusesTlsAndNetworkEncryptionInsteadOfHanging) {
  TempDir dir;
  Standin standin(dir);
  ASSERT_GT(standin.port(), 0);

  // A TLS ClientHello gets a fatal handshake_failure alert and the close.
  int fd = ConnectTo(standin.port());
  ASSERT_GE(fd, 0);
  const std::string hello("\x16\x03\x01\x00\x05\x01\x00\x00\x01\x00", 10);
  send(fd, hello.data(), hello.size(), 0);
  EXPECT_EQ(ReadAll(fd), std::string("\x15\x03\x01\x00\x02\x02\x28", 7));
  close(fd);

  // A CONNECT that requires native network encryption gets a REFUSE with ORA-12660.
  const std::string descriptor =
      "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=127.0.0.1)(PORT=1521))"
      "(CONNECT_DATA=(SERVICE_NAME=XE)))";
  std::string connect(74, '\0');
  const size_t total = 74 + descriptor.size();
  connect[0] = static_cast<char>(total >> 8);
  connect[1] = static_cast<char>(total);
  connect[4] = 1;                              // CONNECT
  connect[8] = 0x01, connect[9] = 0x3e;        // version 318
  connect[10] = 0x01, connect[11] = 0x2c;      // lowest version 300
  connect[14] = 0x20;                          // SDU 8192
  connect[16] = static_cast<char>(0xff), connect[17] = static_cast<char>(0xff);  // TDU
  connect[24] = 0, connect[25] = static_cast<char>(descriptor.size());
  connect[27] = 74;                            // descriptor offset
  connect[32] = 0x11, connect[33] = 0x11;      // native services wanted and required
  connect += descriptor;
  fd = ConnectTo(standin.port());
  ASSERT_GE(fd, 0);
  send(fd, connect.data(), connect.size(), 0);
  const std::string refuse = ReadAll(fd);
  close(fd);
  ASSERT_GT(refuse.size(), 12u);
  EXPECT_EQ(refuse[4], 4);  // REFUSE
  EXPECT_NE(refuse.find("(ERR=12660)"), std::string::npos);

  const auto log = standin.Log();
  const size_t refused = std::count_if(log.begin(), log.end(),
                                       [](const StandinEvent& l) { return l.event == "REFUSED"; });
  EXPECT_EQ(refused, 2u);
  EXPECT_EQ(standin.Stop(), 0);
}

TEST(StandinServer, ServesManyClientsAtOnce) {
  std::vector<std::string> clients;
  if (ClientPresent("python")) clients.insert(clients.end(), {"python", "python", "python"});
  if (ClientPresent("node")) clients.insert(clients.end(), {"node", "node", "node"});
  if (clients.empty()) GTEST_SKIP() << "neither python3-oracledb nor node-oracledb is installed";
  TempDir dir;
  Standin standin(dir);
  std::vector<std::unique_ptr<Child>> running;
  for (size_t i = 0; i < clients.size(); ++i) {
    running.push_back(std::make_unique<Child>(WorkloadCommand(clients[i], standin.port()),
                                              dir.File("client" + std::to_string(i) + ".out")));
  }
  for (size_t i = 0; i < running.size(); ++i) {
    const int code = running[i]->Wait(120000);
    const WorkloadResult r =
        ParseWorkload(code, ReadText(dir.File("client" + std::to_string(i) + ".out")));
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_TRUE(r.summary) << r.output;
  }
  // Connections are numbered in the order they arrived: each did the whole workload.
  for (size_t i = 0; i < running.size(); ++i) {
    EXPECT_EQ(Executions(standin.Events(static_cast<int>(i) + 1), false).size(), 13u);
  }
  EXPECT_EQ(standin.Stop(), 0);
}

}  // namespace
}  // namespace qx::test
