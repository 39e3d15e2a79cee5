// The real executable reading recorded Oracle sessions (qxservice -REPLAY FILE...) with a
// passive service whose oracle_host and oracle_port are the capture's server: statements in the
// client's letter case, history rows with the session's identity and the client's address,
// sessions closed by the end packet or flushed at the end, in a sqlite repository.
#include <gtest/gtest.h>


#include <algorithm>
#include <map>

#include "support/expected_sessions.h"
#include "support/pcap_reader.h"
#include "support/test_util.h"

namespace qx::test {
namespace {

using Table = std::vector<std::vector<std::string>>;

Table Rows(const std::string& db, const std::string& sql) { return SqliteRows(db, sql); }

class Replay : public ::testing::Test {
 protected:
  void SetUp() override {
    CopyFileTo(BinaryPath("qxservice"), dir_.File("qxservice"));
    CopyFileTo(BinaryPath("qxadmin"), dir_.File("qxadmin"));
#ifdef _WIN32
    // The stand-in capture library, where the service's loader looks first.
    CopyFileTo(std::string(QX_BINARY_DIR) + "/wpcap.dll", dir_.File("wpcap.dll"));
#endif
    std::string out;
    ASSERT_EQ(RunProgram({dir_.File("qxadmin"), "init", "sqlite:repo.db"}, &out), 0) << out;
  }
  void AddPassiveService(const std::string& name, const std::string& host, int port,
                         int manage_port) {
    std::string out;
    ASSERT_EQ(RunProgram({dir_.File("qxadmin"), "-r", "sqlite:repo.db", "service", "add",
                          "--name", name, "--oracle-host", host, "--oracle-port",
                          std::to_string(port), "--work-port", "0", "--manage-port",
                          std::to_string(manage_port), "--ip-interface", "10.255.0.1"},
                         &out),
              0)
        << out;
  }
  // Replays the files with one passive service for host:port; returns the exit code.
  int Run(const std::vector<std::string>& files, const std::string& host, int port) {
    AddPassiveService("ORA", host, port, FreePort());
    WriteText(dir_.File("qxservice.ini"),
              "[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=ORA\nDebugConnections=1\n");
    std::vector<std::string> argv = {dir_.File("qxservice"), "-Replay"};
    for (const auto& f : files) argv.push_back(testsupport::CapturesDirectory() + "/" + f);
    std::string out;
    return RunProgram(argv, &out, 60000);
  }
  // session_id, sqltext, host, ip, orauser, program, username of each history row.
  Table History() {
    return Rows(dir_.File("repo.db"),
                "select h.session_id, s.sqltext || ifnull(s.sqltext1, '') || "
                "ifnull(s.sqltext2, '') || ifnull(s.sqltext3, ''), h.host, h.ip, h.orauser, "
                "h.program, "
                "h.username from qx_client_sql_history h join qx_client_sql s on "
                "s.id = h.sql_id order by h.id");
  }
  // The statements of one session, in order.
  std::vector<std::string> Statements(const std::string& session) {
    std::vector<std::string> out;
    for (const auto& row : History()) {
      if (row[0] == session) out.push_back(row[1]);
    }
    return out;
  }
  std::vector<std::string> ServiceLog() { return LogMessages(dir_.File("qxservice.log")); }
  size_t Count(const std::string& line) {
    const auto log = ServiceLog();
    return static_cast<size_t>(std::count(log.begin(), log.end(), line));
  }
  // Every history row of the session carries the same identity.
  void ExpectIdentity(const std::string& session, const std::vector<std::string>& identity) {
    for (const auto& row : History()) {
      if (row[0] != session) continue;
      EXPECT_EQ(std::vector<std::string>(row.begin() + 2, row.end()), identity) << row[1];
    }
  }

  TempDir dir_;
};

// Every recorded session, replayed alone: each statement its client executed is stored as the
// client sent it, in order, with the session's Oracle user, and nothing else is stored.
class ReplayCapture : public Replay, public ::testing::WithParamInterface<std::string> {};

TEST_P(ReplayCapture, StoresWhatTheWireHolds) {
  const auto expected = testsupport::ExpectedSessions(GetParam());
  ASSERT_FALSE(expected.empty());
  const std::string server = expected.front().server;
  const size_t colon = server.rfind(':');
  if (server.find(':') != colon) {
    GTEST_SKIP() << "passive services are configured by IPv4 address; " << server << " is IPv6";
  }
  ASSERT_EQ(Run({GetParam()}, server.substr(0, colon), std::stoi(server.substr(colon + 1))), 0);

  // Rows by session, in the order the sessions' first rows were written (session numbers may
  // be drawn late, so their order says nothing).
  std::vector<std::pair<std::string, std::vector<std::vector<std::string>>>> by_session;
  for (auto& row : History()) {
    auto it = std::find_if(by_session.begin(), by_session.end(),
                           [&](const auto& e) { return e.first == row[0]; });
    if (it == by_session.end()) {
      by_session.push_back({row[0], {}});
      it = by_session.end() - 1;
    }
    it->second.push_back(row);
  }
  std::vector<const testsupport::ExpectedSession*> with_statements;
  for (const auto& e : expected) {
    if (e.descriptor && !e.statements.empty()) with_statements.push_back(&e);
  }
  ASSERT_EQ(by_session.size(), with_statements.size());
  size_t i = 0;
  for (const auto& [session, rows] : by_session) {
    const auto& want = *with_statements[i++];
    std::vector<std::string> texts;
    std::vector<std::string> stored;  // the repository keeps a text's first 8000 characters
    for (const auto& text : want.statements) stored.push_back(text.substr(0, 8000));
    for (const auto& row : rows) {
      texts.push_back(row[1]);
      EXPECT_EQ(row[3], want.client.substr(0, want.client.rfind(':')));
      EXPECT_EQ(row[4], want.orauser) << row[1];
    }
    EXPECT_EQ(texts, stored) << "session " << session << " of " << want.client;
  }
  EXPECT_EQ(LogMessages(dir_.File("qxerror.log")), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Captures, ReplayCapture,
                         ::testing::ValuesIn(testsupport::ExpectedCaptures()),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST_F(Replay, SessionsOpenAtTheirDescriptorAndCloseWhereTheWireEndsThem) {
  ASSERT_EQ(Run({"Oracle-good.pcap"}, "192.168.2.253", 1521), 0);
  ASSERT_FALSE(History().empty());
  ExpectIdentity(History().front()[0], {"GODBOX", "192.168.2.2", "OPENWALL", "SQLPLUS@GODBOX", "DSK"});
  EXPECT_EQ(Count("Service :: ORA New client connection from IP 192.168.2.2 port 35204 detected."),
            1u);
  // The end packet closes the connection; nothing is left to flush at the end.
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 192.168.2.2 port 35204 disconnected."),
            1u);
  EXPECT_EQ(Count("Connection disconnected for host GODBOX"), 0u);
  // OCI return statuses are not read for row counts, and not every answer's error number is
  // found: what is not known stays NULL, never a made-up 0; none of these calls failed.
  EXPECT_EQ(Rows(dir_.File("repo.db"),
                 "select count(*), count(rows_processed), count(error_code), "
                 "sum(error_code <> 0) from qx_client_sql_history"),
            (Table{{"6", "0", "3", "0"}}));
}

TEST_F(Replay, FilesAreReadInOrderAndOpenSessionsFlushedAtTheEnd) {
  // try-1-simple: the first connection (failed logins) ends with the end packet, the second
  // (a login as SYS, no statement) is still open when the capture ends; Oracle-good follows.
  ASSERT_EQ(Run({"try-1-simple.pcap", "Oracle-good.pcap"}, "192.168.2.253", 1521), 0);
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 192.168.2.2 port 49187 disconnected."),
            1u);
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 192.168.2.2 port 49190 disconnected."),
            0u);
  EXPECT_EQ(Count("Connection disconnected for host GODBOX"), 1u);
  // Only the third session, Oracle-good's, ran statements.
  const auto rows = History();
  ASSERT_EQ(rows.size(), 6u);
  for (const auto& row : rows) EXPECT_EQ(row[0], rows[0][0]);
  EXPECT_EQ(rows.back()[1], "SELECT DECODE('A','A','1','2') FROM DUAL");
}

TEST_F(Replay, VlanTaggedFrames) {
  ASSERT_EQ(Run({"arkime_oracle.pcap"}, "10.0.0.17", 1522), 0);
  EXPECT_EQ(Count("Service :: ORA New client connection from IP 10.0.0.16 port 64084 detected."),
            1u);
  EXPECT_EQ(Count("Service :: ORA Enabling monitoring of new connection from host __JDBC__"), 1u);
}

TEST_F(Replay, ALowerCaseDescriptorIsADescriptorLikeAnyOther) {
  ASSERT_EQ(Run({"oracle_11g_password1234567890.pcapng"}, "192.168.0.42", 49161), 0);
  EXPECT_EQ(Count("Service :: ORA New client connection from IP 192.168.0.14 port 43124 detected."),
            1u);
}

TEST_F(Replay, AnUnreadableFileFailsTheRun) {
  EXPECT_EQ(Run({"no-such-file.pcap"}, "192.168.2.253", 1521), 1);
  const auto errors = LogMessages(dir_.File("qxerror.log"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Unable to read capture file ", 0), 0u);
  EXPECT_EQ(ServiceLog().back(), "Service successfully shutdown.");
}

}  // namespace
}  // namespace qx::test
