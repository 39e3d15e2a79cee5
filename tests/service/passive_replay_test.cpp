// The real executable reading recorded Oracle sessions (qxservice -REPLAY FILE...) with a
// passive service whose oracle_host and oracle_port are the capture's server: statements in the
// client's letter case, history rows with the session's identity and the client's address,
// sessions closed by the end packet or flushed at the end, in a sqlite repository.
#include <gtest/gtest.h>


#include <algorithm>
#include <map>

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
                "select h.session_id, s.sqltext, h.host, h.ip, h.orauser, h.program, "
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

const std::vector<std::string> kSqlPlusStartup = {
    "SELECT USER FROM DUAL",
    "BEGIN DBMS_OUTPUT.DISABLE; END;",
};
// The PRODUCT_PRIVS queries come in 64-byte pieces whose length bytes the extraction keeps.
const std::string kProductPrivs =
    "SELECT ATTRIBUTE,SCOPE,NUMERIC_VALUE,CHAR_VALUE,DATE_VALUE FROM SYSTEM.PRODUCT_PRIVS";

TEST_F(Replay, SqlPlusSessionClosedByItsEndPacket) {
  ASSERT_EQ(Run({"Oracle-good.pcap"}, "192.168.2.253", 1521), 0);
  const auto statements = Statements("1");
  ASSERT_EQ(statements.size(), 7u);
  // The first is an artefact of the login data, the rest the six statements sqlplus ran.
  EXPECT_EQ(std::vector<std::string>(statements.begin() + 1, statements.begin() + 3),
            kSqlPlusStartup);
  EXPECT_EQ(statements[3].rfind(kProductPrivs, 0), 0u) << statements[3];
  EXPECT_EQ(statements[5], "BEGIN DBMS_APPLICATION_INFO.SET_MODULE(:1,NULL); END;");
  EXPECT_EQ(statements[6], "SELECT DECODE('A','A','1','2') FROM DUAL");
  ExpectIdentity("1", {"GODBOX", "192.168.2.2", "OPENWALL", "SQLPLUS@GODBOX", "DSK"});
  EXPECT_EQ(Count("Service :: ORA New client connection from IP 192.168.2.2 port 35204 detected."),
            1u);
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 192.168.2.2 port 35204 disconnected."),
            1u);
  EXPECT_EQ(Count("Connection disconnected for host GODBOX"), 0u);  // nothing left at the end
  EXPECT_TRUE(LogMessages(dir_.File("qxerror.log")).empty());
}

TEST_F(Replay, StatementsKeepTheClientsLetterCase) {
  ASSERT_EQ(Run({"7_oracle10_2016.pcapng"}, "10.0.72.146", 1521), 0);
  const auto first = Statements("1");
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[1], "create user hackerman identified by hackerman");
  EXPECT_EQ(first[2], "select name, password from sys.user$");
  ExpectIdentity("1", {"KALI", "10.0.2.15", "SYS", "SQLPLUS@KALI", "ROOT"});
  const auto second = Statements("2");
  ASSERT_EQ(second.size(), 10u);
  EXPECT_EQ(std::vector<std::string>(second.end() - 3, second.end()),
            (std::vector<std::string>{"alter user scott identified by tiger",
                                      "alter user scott account unlock",
                                      "select role from sys.dba_roles"}));
  ExpectIdentity("2", {"KALI", "10.0.2.15", "HACKERMAN", "SQLPLUS@KALI", "ROOT"});
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 10.0.2.15 port 60376 disconnected."),
            1u);
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 10.0.2.15 port 60378 disconnected."),
            1u);
}

TEST_F(Replay, ToadSessionBehindFcsTrailers) {
  ASSERT_EQ(Run({"trex_cap2_Oracle.pcap"}, "22.0.0.8", 1521), 0);
  const auto rows = History();
  EXPECT_EQ(rows.size(), 49u);
  ExpectIdentity("1", {"THOMAS", "21.0.0.7", "",
                       "C:\\PROGRAM FILES\\QUEST SOFTWARE\\TOAD\\TOAD.EXE", "SHEKHAR"});
  EXPECT_EQ(Statements("1").back(), "select 'x' from dual");
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 21.0.0.7 port 6965 disconnected."), 1u);
}

TEST_F(Replay, TheTextualEndPatternClosesAtALongDataPacket) {
  // This capture stops before the session ends, but its SELECT DECODE packet is 366 bytes long
  // (01 6e 00 00 06 00 00 00 00 00): its dump "1 110 0 0 6 0 0 0 0 ..." holds the end pattern,
  // so the connection is closed there and that statement is never seen.
  ASSERT_EQ(Run({"Oracle-WinWin-1.pcap"}, "192.168.2.253", 1521), 0);
  const auto statements = Statements("1");
  ASSERT_EQ(statements.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(statements.begin() + 1, statements.begin() + 3),
            kSqlPlusStartup);
  EXPECT_EQ(statements[3].rfind(kProductPrivs, 0), 0u) << statements[3];
  ExpectIdentity("1", {"WIN-7RSSC38TVCL", "192.168.2.5", "TESTUSER",
                       "C:\\INSTANTCLIENT_11_2\\SQLPLUS.EXE", "ADMINISTRATOR"});
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 192.168.2.5 port 1041 disconnected."),
            1u);
}

TEST_F(Replay, FilesAreReadInOrderAndOpenSessionsFlushedAtTheEnd) {
  // try-1-simple: the first connection (failed logins) ends with the end packet, the second
  // (a login as SYS) is still open when the capture ends.
  ASSERT_EQ(Run({"try-1-simple.pcap", "Oracle-good.pcap"}, "192.168.2.253", 1521), 0);
  EXPECT_EQ(Statements("1").size(), 2u);
  EXPECT_EQ(Statements("2").size(), 1u);
  EXPECT_EQ(Statements("3").size(), 7u);
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 192.168.2.2 port 49187 disconnected."),
            1u);
  EXPECT_EQ(Count("Service :: ORAClient connection from IP 192.168.2.2 port 49190 disconnected."),
            0u);
  EXPECT_EQ(Count("Connection disconnected for host GODBOX"), 1u);
  ExpectIdentity("2", {"GODBOX", "192.168.2.2", "", "SQLPLUS@GODBOX", "DSK"});
  // Session numbers follow the order of the files.
  EXPECT_EQ(Statements("3").back(), "SELECT DECODE('A','A','1','2') FROM DUAL");
}

TEST_F(Replay, ConnectionsWithoutStatements) {
  // A CONNECT answered by a REDIRECT, and a JDBC CONNECT seen twice behind two VLAN tags.
  ASSERT_EQ(Run({"TNS_Oracle4.pcap"}, "192.168.0.4", 1521), 0);
  EXPECT_EQ(Count("Service :: ORA New client connection from IP 192.168.0.218 port 1864 "
                  "detected."),
            1u);
  EXPECT_EQ(Count("Connection disconnected for host ZH"), 1u);
  EXPECT_TRUE(History().empty());
}

TEST_F(Replay, VlanTaggedFrames) {
  ASSERT_EQ(Run({"arkime_oracle.pcap"}, "10.0.0.17", 1522), 0);
  EXPECT_EQ(Count("Service :: ORA New client connection from IP 10.0.0.16 port 64084 detected."),
            1u);
  EXPECT_EQ(Count("Service :: ORA Enabling monitoring of new connection from host __JDBC__"), 1u);
  EXPECT_TRUE(History().empty());
}

TEST_F(Replay, ALowerCaseDescriptorOpensNoConnection) {
  ASSERT_EQ(Run({"oracle_11g_password1234567890.pcapng"}, "192.168.0.42", 49161), 0);
  for (const auto& line : ServiceLog()) {
    EXPECT_EQ(line.find("New client connection"), std::string::npos) << line;
  }
  EXPECT_TRUE(History().empty());
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
