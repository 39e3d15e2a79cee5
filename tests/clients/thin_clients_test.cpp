// Real Oracle thin clients (python-oracledb and node-oracledb) run their scripted workloads
// against the stand-in Oracle server (build/qxoracle-standin), directly and through a running
// qxservice in active mode. Tests of a client that is not installed are skipped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace qx::test {
namespace {

const char* const kUser = "scott";
const char* const kPassword = "tiger";
const size_t kStoredTextLimit = 8000;  // sqltext .. sqltext3, 2000 characters each

std::string SourcePath(const std::string& relative) {
  return std::string(QX_SOURCE_DIR) + "/" + relative;
}

std::string PythonPath() { return "/usr/bin/python3"; }

bool PythonClientPresent() {
  if (!Exists(PythonPath())) return false;
  std::string out;
  return RunProgram({PythonPath(), "-c", "import oracledb"}, &out, 30000) == 0;
}

std::string NodePath() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/usr/local/bin";
  size_t at = 0;
  while (at <= dirs.size()) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(at, end - at) + "/node";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return {};
}

bool NodeClientPresent() {
  return !NodePath().empty() &&
         Exists(SourcePath("tests/clients/node/node_modules/oracledb/package.json"));
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Reverses the log's escaping (\\, \n, \r, \t, \xHH).
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    const char c = s[++i];
    if (c == 'n') out.push_back('\n');
    else if (c == 'r') out.push_back('\r');
    else if (c == 't') out.push_back('\t');
    else if (c == 'x' && i + 2 < s.size()) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

struct LogLine {
  int connection = 0;
  std::string event;
  std::string details;
};

// The stand-in server in the foreground on a free loopback port, logging to dir/standin.log.
class Standin {
 public:
  explicit Standin(const TempDir& dir)
      : log_path_(dir.File("standin.log")),
        child_({BinaryPath("qxoracle-standin"), "--listen", "127.0.0.1:0", "--user", kUser,
                "--password", kPassword, "--log", log_path_},
               dir.File("standin.out")) {
    WaitUntil([this] { return !Log().empty(); }, 10000);
    const auto lines = Log();
    if (!lines.empty() && lines[0].event == "LISTEN") {
      port_ = std::stoi(lines[0].details.substr(lines[0].details.rfind(':') + 1));
    }
  }
  int port() const { return port_; }
  std::vector<LogLine> Log() const {
    std::vector<LogLine> out;
    for (const std::string& line : Lines(ReadText(log_path_))) {
      LogLine l;
      const size_t a = line.find(' ');
      if (a == std::string::npos) continue;
      l.connection = std::atoi(line.substr(0, a).c_str());
      const size_t b = line.find(' ', a + 1);
      l.event = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
      if (b != std::string::npos) l.details = line.substr(b + 1);
      out.push_back(l);
    }
    return out;
  }
  std::vector<LogLine> Events(int connection) const {
    std::vector<LogLine> out;
    for (const LogLine& l : Log()) {
      if (l.connection == connection) out.push_back(l);
    }
    return out;
  }
  int Stop() {
    child_.Signal(SIGTERM);
    return child_.Wait(10000);
  }

 private:
  std::string log_path_;
  Child child_;
  int port_ = 0;
};

// Texts (still escaped) of the SQL and EXEC lines of one connection, in order; with
// texts_only, only the executions that carried their text.
std::vector<std::string> Executions(const std::vector<LogLine>& events, bool texts_only) {
  std::vector<std::string> out;
  for (const LogLine& l : events) {
    if (l.event == "SQL" || (!texts_only && l.event == "EXEC")) {
      out.push_back(l.details.substr(l.details.find(' ') + 1));
    }
  }
  return out;
}

bool HasEvent(const std::vector<LogLine>& events, const std::string& event) {
  return std::any_of(events.begin(), events.end(),
                     [&](const LogLine& l) { return l.event == event; });
}

struct WorkloadResult {
  int code = -1;
  std::string output;
  std::vector<std::string> executions;  // escaped, as printed
  bool summary = false;
};

WorkloadResult ParseWorkload(int code, const std::string& output) {
  WorkloadResult r;
  r.code = code;
  r.output = output;
  for (const std::string& line : Lines(output)) {
    if (line.rfind("EXECUTE ", 0) == 0) r.executions.push_back(line.substr(8));
    if (line.rfind("SUMMARY ", 0) == 0) r.summary = true;
  }
  return r;
}

struct ClientKind {
  std::string name;
  std::string program_word;  // what the client's program name holds, upper-cased
};

std::vector<std::string> WorkloadCommand(const std::string& client, int port) {
  std::vector<std::string> argv;
  if (client == "python") {
    argv = {PythonPath(), SourcePath("tests/clients/python_workload.py")};
  } else {
    argv = {NodePath(), SourcePath("tests/clients/node/workload.js")};
  }
  for (const std::string& a : {std::string("127.0.0.1"), std::to_string(port), std::string("XE"),
                               std::string(kUser), std::string(kPassword)}) {
    argv.push_back(a);
  }
  return argv;
}

WorkloadResult RunWorkload(const std::string& client, int port) {
  std::string output;
  const int code = RunProgram(WorkloadCommand(client, port), &output, 120000);
  return ParseWorkload(code, output);
}

bool ClientPresent(const std::string& client) {
  return client == "python" ? PythonClientPresent() : NodeClientPresent();
}

// ---------------------------------------------------------------------------------------------

class ThinClient : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!ClientPresent(GetParam())) {
      GTEST_SKIP() << (GetParam() == "python"
                           ? "python3-oracledb is not installed (apt-get install python3-oracledb)"
                           : "node or node-oracledb is missing (scripts/install-deps.sh runs "
                             "npm ci in tests/clients/node)");
    }
  }
  // The workload's executions must appear in the stand-in's log, in order, as executions with
  // their text (the first of each statement) or re-executions of the cursor parsed from it.
  void ExpectLoggedExactly(const WorkloadResult& run, const std::vector<LogLine>& events) {
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
  CopyFile(BinaryPath("qxservice"), dir_.File("qxservice"));
  CopyFile(BinaryPath("qxadmin"), dir_.File("qxadmin"));
  std::string out;
  ASSERT_EQ(RunProgram({dir_.File("qxadmin"), "init", "sqlite:repo.db"}, &out), 0) << out;
  const int work_port = FreePort();
  int manage_port = FreePort();
  while (manage_port == work_port) manage_port = FreePort();
  ASSERT_EQ(RunProgram({dir_.File("qxadmin"), "-r", "sqlite:repo.db", "service", "add", "--name",
                        "XE", "--oracle-host", "127.0.0.1", "--oracle-port",
                        std::to_string(standin.port()), "--work-port", std::to_string(work_port),
                        "--manage-port", std::to_string(manage_port)},
                       &out),
            0)
      << out;
  WriteText(dir_.File("qxservice.ini"),
            "[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=XE\n");
  WorkloadResult run;
  {
    Child service({dir_.File("qxservice")}, dir_.File("qxservice.out"));
    auto started = [&] {
      const auto log = LogMessages(dir_.File("qxservice.log"));
      return std::find(log.begin(), log.end(), "Service successfully started.") != log.end() &&
             std::any_of(log.begin(), log.end(), [](const std::string& m) {
               return m.rfind("Quorvex listener for service XE has been successfully started", 0) == 0;
             });
    };
    ASSERT_TRUE(WaitUntil(started, 20000)) << ReadText(dir_.File("qxservice.log"));
    run = RunWorkload(GetParam(), work_port);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(20000), 0);
  }
  // Unchanged behaviour for the client.
  ExpectLoggedExactly(run, standin.Events(1));

  // One history row per execution that carried its text, in order, with the client's identity.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.File("repo.db").c_str(), &db), SQLITE_OK);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(db, sqlite3_close);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "select s.sqltext || coalesce(s.sqltext1, '') || "
                               "coalesce(s.sqltext2, '') || coalesce(s.sqltext3, ''), "
                               "h.host, h.ip, h.orauser, h.service_name, h.program, h.username "
                               "from qx_client_sql_history h join qx_client_sql s on s.id = h.sql_id "
                               "order by h.id",
                               -1, &st, nullptr),
            SQLITE_OK);
  std::vector<std::vector<std::string>> rows;
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < 7; ++i) {
      const unsigned char* t = sqlite3_column_text(st, i);
      row.push_back(t ? reinterpret_cast<const char*>(t) : "");
    }
    rows.push_back(row);
  }
  sqlite3_finalize(st);

  // node-oracledb's logon carries the key AUTH_ALTER_SESSION, in which the keyword search
  // finds "ALTER": the service stores a statement "ALTER_SESSION" for each such logon.
  const size_t logon_rows = std::count_if(rows.begin(), rows.end(), [](const auto& r) {
    return r[0] == "ALTER_SESSION";
  });
  EXPECT_LE(logon_rows, 1u);
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [](const auto& r) { return r[0] == "ALTER_SESSION"; }),
             rows.end());

  const std::vector<std::string> with_text = Executions(standin.Events(1), true);
  ASSERT_EQ(rows.size(), with_text.size());
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const passwd* pw = getpwuid(geteuid());
  const std::string program_word = GetParam() == "python" ? "PYTHON" : "NODE";
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string expected = Upper(Unescape(with_text[i])).substr(0, kStoredTextLimit);
    EXPECT_EQ(rows[i][0], expected) << "row " << i;
    EXPECT_EQ(rows[i][1], Upper(host));
    EXPECT_EQ(rows[i][2], "127.0.0.1");
    EXPECT_EQ(rows[i][3], Upper(kUser));
    EXPECT_EQ(rows[i][4], "XE");
    EXPECT_NE(rows[i][5].find(program_word), std::string::npos) << rows[i][5];
    EXPECT_EQ(rows[i][6], pw ? Upper(pw->pw_name) : "");
  }
  EXPECT_EQ(standin.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Clients, ThinClient, ::testing::Values("python", "node"),
                         [](const auto& info) { return info.param; });

// ---------------------------------------------------------------------------------------------

TEST(StandinServer, WrongPasswordGetsOra01017) {
  if (!PythonClientPresent()) GTEST_SKIP() << "python3-oracledb is not installed";
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
                                       [](const LogLine& l) { return l.event == "REFUSED"; });
  EXPECT_EQ(refused, 2u);
  EXPECT_EQ(standin.Stop(), 0);
}

TEST(StandinServer, ServesManyClientsAtOnce) {
  std::vector<std::string> clients;
  if (PythonClientPresent()) clients.insert(clients.end(), {"python", "python", "python"});
  if (NodeClientPresent()) clients.insert(clients.end(), {"node", "node", "node"});
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
