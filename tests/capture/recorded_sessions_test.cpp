// Real client traffic recorded by others: every client-to-server TCP payload of each capture,
// upper-cased as the relay does, goes through descriptor detection and decoding, Oracle user
// extraction and statement extraction in the order the relay's client-chunk processing uses
// them. The identities and statements expected here were read from the captures with tcpdump.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/connect_descriptor.h"
#include "sql/byte_text.h"
#include "sql/statement_extract.h"
#include "support/pcap_reader.h"

namespace qx::capture {
namespace {

struct Statement {
  std::string text;
  bool skip = false;
  bool operator==(const Statement&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Statement& s) {
  return os << (s.skip ? "[skip] " : "") << testing::PrintToString(s.text);
}

// What one client connection yields.
struct Session {
  std::unique_ptr<TThreadData> record = std::make_unique<TThreadData>();
  std::vector<Statement> statements;
};

// The relay's handling of one client chunk, without the relay: the descriptor is decoded once,
// then the Oracle user is looked for until found and every chunk is searched for a statement.
void ProcessChunk(Session& session, const std::string& chunk) {
  TThreadData& r = *session.record;
  const std::string text = sql::UpperCase(chunk);
  if (!r.established) {
    if (!IsConnectDescriptor(text)) return;
    const service::TServiceFilterList noFilters;
    const ConnectAnalysis analysis = AnalyzeConnectText(
        r, text, 46000.0, false, &noFilters,
        [](const std::string&) { return std::string("127.0.0.1"); }, nullptr);
    EXPECT_FALSE(r.excluded);
    EXPECT_EQ(analysis.traceLines,
              std::vector<std::string>{"Including this connection for monitoring."});
    r.established = true;
  }
  if (r.orauser.empty() && sql::Contains(text, "AUTH_TERMINAL")) {
    SetOraUser(r, ExtractOraUser(text));
  }
  const sql::ExtractedStatement found = sql::ExtractStatement(text);
  if (!found.statement.empty()) session.statements.push_back({found.statement, found.skip});
}

std::vector<Session> Replay(const std::string& file) {
  std::vector<testsupport::TcpSegment> segments;
  std::string error;
  EXPECT_TRUE(testsupport::ReadTcpSegments(testsupport::CapturesDirectory() + "/" + file,
                                           &segments, &error))
      << error;
  std::map<size_t, Session> byConnection;
  for (const testsupport::ClientChunk& chunk : testsupport::ClientToServerPayloads(segments)) {
    ProcessChunk(byConnection[chunk.connection], chunk.payload);
  }
  std::vector<Session> sessions;
  for (auto& [index, session] : byConnection) {
    if (session.record->established) sessions.push_back(std::move(session));
  }
  return sessions;
}

struct SessionIdentity {
  std::string serviceName, sid, program, host, username, orauser;
};

void ExpectIdentity(const TThreadData& r, const SessionIdentity& want) {
  EXPECT_EQ(r.serviceName, want.serviceName);
  EXPECT_EQ(r.sid, want.sid);
  EXPECT_EQ(r.program, want.program);
  EXPECT_EQ(r.host, want.host);
  EXPECT_EQ(r.username, want.username);
  EXPECT_EQ(r.orauser, want.orauser);
}

Statement S(std::string text) { return {std::move(text), false}; }

// Authentication data carries the key AUTH_ALTER_SESSION; the keyword search finds ALTER in it
// and the byte after the key (the value's length) stays on as its last character.
Statement AuthArtefact(char lengthByte) { return S(std::string("ALTER_SESSION") + lengthByte); }

// sqlplus's start-up statements. Its 64-byte text pieces leave their length bytes in the text:
// "@" (0x40) is removed, the shorter last piece's length byte stays ("\x1a", "1").
std::vector<Statement> SqlplusStartup(const std::string& firstQueryTail) {
  return {
      S("SELECT USER FROM DUAL"),
      S("BEGIN DBMS_OUTPUT.DISABLE; END;"),
      S("SELECT ATTRIBUTE,SCOPE,NUMERIC_VALUE,CHAR_VALUE,DATE_VALUE FROM SYSTEM.PRODUCT_PRIVS "
        "WHERE (UPPER('SQL*PLUS') LIKE UPPER(PRODUCT" +
        firstQueryTail + ")) AND (USER LIKE USERID)"),
      S("SELECT CHAR_VALUE FROM SYSTEM.PRODUCT_PRIVS WHERE   (UPPER('SQL*PLUS') LIKE "
        "UPPER(PRODUCT)) AND   ((USER LIKE USERID) OR (USERID1 = 'PUBLIC')) AND   "
        "(UPPER(ATTRIBUTE) = 'ROLES')"),
      S("BEGIN DBMS_APPLICATION_INFO.SET_MODULE(:1,NULL); END;"),
      S("SELECT DECODE('A','A','1','2') FROM DUAL"),
  };
}

std::vector<Statement> Join(std::vector<Statement> a, const std::vector<Statement>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class RecordedSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(testsupport::CapturesDirectory())) {
      GTEST_SKIP() << "no recorded sessions at " << testsupport::CapturesDirectory();
    }
  }
};

TEST_F(RecordedSessions, OracleGood) {
  // The CONNECT is sent twice (RESEND); only the first is decoded.
  const std::vector<Session> sessions = Replay("Oracle-good.pcap");
  ASSERT_EQ(sessions.size(), 1u);
  ExpectIdentity(*sessions[0].record,
                 {"ORCL", "", "SQLPLUS@GODBOX", "GODBOX", "DSK", "OPENWALL"});
  EXPECT_EQ(sessions[0].statements, Join({AuthArtefact('%')}, SqlplusStartup("\x1a")));
}

TEST_F(RecordedSessions, OracleWinWin) {
  const std::vector<Session> sessions = Replay("Oracle-WinWin-1.pcap");
  ASSERT_EQ(sessions.size(), 1u);
  ExpectIdentity(*sessions[0].record, {"ORCL", "", "C:\\INSTANTCLIENT_11_2\\SQLPLUS.EXE",
                                       "WIN-7RSSC38TVCL", "ADMINISTRATOR", "TESTUSER"});
  EXPECT_EQ(sessions[0].statements, Join({AuthArtefact('%')}, SqlplusStartup("\x1a")));
}

// 11.2 OCI clients put a byte 0x27 between the user name and the AUTH_TERMINAL key; it lies
// outside the name bytes, so no Oracle user is taken from their authentication data.
TEST_F(RecordedSessions, Oracle11gXeLowerCaseProtocol) {
  const std::vector<Session> sessions = Replay("oracle_11g_password1234567890.pcapng");
  ASSERT_EQ(sessions.size(), 1u);
  ExpectIdentity(*sessions[0].record, {"XE", "", "SQLPLUS", "09EB2A35DC16", "ORACLE", ""});
  EXPECT_EQ(sessions[0].statements,
            (std::vector<Statement>{
                AuthArtefact('O'),
                S("SELECT DECODE(USER, 'XS$NULL',  XS_SYS_CONTEXT('XS$SESSION','USERNAME'), USER) "
                  "FROM SYS.DUAL"),
                S("BEGIN DBMS_APPLICATION_INFO.SET_MODULE(:1,NULL); END;")}));
}

TEST_F(RecordedSessions, FailedLoginsThenSuccess) {
  const std::vector<Session> sessions = Replay("try-1-simple.pcap");
  ASSERT_EQ(sessions.size(), 2u);
  for (const Session& s : sessions) {
    ExpectIdentity(*s.record, {"ORCL", "", "SQLPLUS@GODBOX", "GODBOX", "DSK", ""});
  }
  // Two login attempts on the first connection, one on the second; no SQL after the login.
  EXPECT_EQ(sessions[0].statements,
            (std::vector<Statement>{AuthArtefact('O'), AuthArtefact('O')}));
  EXPECT_EQ(sessions[1].statements, std::vector<Statement>{AuthArtefact('O')});
}

TEST_F(RecordedSessions, Oracle10TwoSessionsBySid) {
  const std::vector<Session> sessions = Replay("7_oracle10_2016.pcapng");
  ASSERT_EQ(sessions.size(), 2u);
  ExpectIdentity(*sessions[0].record, {"", "ORCL10", "SQLPLUS@KALI", "KALI", "ROOT", "SYS"});
  ExpectIdentity(*sessions[1].record, {"", "ORCL10", "SQLPLUS@KALI", "KALI", "ROOT", "HACKERMAN"});
  // GRANT is no statement keyword, so "grant dba" yields nothing.
  EXPECT_EQ(sessions[0].statements,
            (std::vector<Statement>{AuthArtefact('%'),
                                    S("CREATE USER HACKERMAN IDENTIFIED BY HACKERMAN"),
                                    S("SELECT NAME, PASSWORD FROM SYS.USER$")}));
  std::vector<Statement> second = {
      AuthArtefact('%'),
      S("SELECT DECODE(USER, 'XS$NULL',  XS_SYS_CONTEXT('XS$SESSION','USERNAME'), USER) "
        "FROM DUAL")};
  std::vector<Statement> startup = SqlplusStartup("");
  startup.erase(startup.begin());  // this client asks DECODE(USER ...) instead
  second = Join(second, startup);
  second[4].text = "SELECT CHAR_VALUE FROM SYSTEM.PRODUCT_PRIVS WHERE   (UPPER('SQL*PLUS') LIKE "
                   "UPPER(PRODUCT)) AND   ((USER LIKE USERID) OR (USERID = 'PUBLIC')) AND   "
                   "(UPPER(ATTRIBUTE) = 'ROLES')";
  second = Join(second, {S("ALTER USER SCOTT IDENTIFIED BY TIGER"),
                         S("ALTER USER SCOTT ACCOUNT UNLOCK"),
                         S("SELECT ROLE FROM SYS.DBA_ROLES")});
  EXPECT_EQ(sessions[1].statements, second);
}

TEST_F(RecordedSessions, RedirectedConnectHasNoSql) {
  const std::vector<Session> sessions = Replay("TNS_Oracle4.pcap");
  ASSERT_EQ(sessions.size(), 1u);
  ExpectIdentity(*sessions[0].record,
                 {"VOID.DOMAIN", "", "C:\\PROGRAM?FILES\\PLSQL?DEVELOPER\\PLSQLDEV.EXE", "ZH",
                  "ADMINISTRATOR", ""});
  EXPECT_TRUE(sessions[0].statements.empty());
}

TEST_F(RecordedSessions, JdbcThinBehindVlanTags) {
  // Each client packet is captured twice (two VLANs): one connection, decoded once.
  const std::vector<Session> sessions = Replay("arkime_oracle.pcap");
  ASSERT_EQ(sessions.size(), 1u);
  ExpectIdentity(*sessions[0].record, {"XXXXX.XXX", "", "NULL", "__JDBC__", "USER", ""});
  EXPECT_TRUE(sessions[0].statements.empty());
}

TEST_F(RecordedSessions, ToadWithFcsTrailers) {
  const std::vector<Session> sessions = Replay("trex_cap2_Oracle.pcap");
  ASSERT_EQ(sessions.size(), 1u);
  // The first CONNECT names USER=shekhar, the resent one USER=thomas; the first one counts.
  ExpectIdentity(*sessions[0].record,
                 {"SECSPH", "", "C:\\PROGRAM FILES\\QUEST SOFTWARE\\TOAD\\TOAD.EXE", "THOMAS",
                  "SHEKHAR", ""});
  std::vector<Statement> want = {
      S("ALTER_SESSION"),  // its length byte 0x1b is trimmed away
      S("SELECT SID FROM V$SESSION  WHERE AUDSID = ( SELECT USERENV('SESS\x14"
        "IONID') FROM DUAL )"),
      S("SELECT * FROM SESSION_ROLES WHERE ROLE='DBA'"),
      {"BEGIN SYS.DBMS_APPLICATION_INFO.SET_MODULE('T.O.A.D.', NULL); EN", true},
      S("SELECT VERSION \nFROM SYS.PRODUCT_COMPONENT_VERSION\nWHERE UPPER(P\x18" "RODUCT) LIKE "
        "'%ORACLE%'"),
      S("SELECT  /*+ RULE */ OBJECT_NAME FROM ALL_OBJECTS WHERE OBJECT_NA;ME='DBMS_DEBUG' AND "
        "OBJECT_TYPE='PACKAGE' AND OWNER='SYS'"),
      S("SELECT FEATURE FROM TOAD.TOAD_RESTRICTIONS WHERE USER_NAME=USER 2OR USER_NAME IN ( "
        "SELECT ROLE FROM SESSION_ROLES)"),
      S("SELECT USERNAME FROM SYS.ALL_USERS  ORDER BY USERNAME"),
      S("SELECT TYPE_NAME FROM SYS.USER_TYPES ORDER BY TYPE_NAME"),
  };
  for (int i = 0; i < 13; ++i) {
    want = Join(want, {S("SELECT IS_VISIBLE FROM CP_RULE"), S("SELECT XML FROM PU_DATA"),
                       S("SELECT NAME FROM P_VERSION")});
  }
  want = Join(want, {S("SELECT 'X' FROM DUAL"), S("SELECT 'X' FROM DUAL")});
  ASSERT_EQ(want.size(), 50u);  // the 49 statements of the session and the artefact
  EXPECT_EQ(sessions[0].statements, want);
}

// One python-oracledb thin session recorded here three times: cooked captures v2 and v1 of
// `tcpdump -i any`, and Ethernet over IPv6. Each link type gives the same session.
TEST_F(RecordedSessions, PythonThinOverCookedCapturesAndIpv6) {
  const std::vector<Statement> first_six = {
      S("CREATE TABLE WL_ORDERS (ID NUMBER, ITEM VARCHAR2(40), QTY NUMBER)"),
      S("INSERT INTO WL_ORDERS (ID, ITEM, QTY) VALUES (:1, :2, :3)"),
      S("UPDATE WL_ORDERS SET QTY = QTY + :DELTA WHERE ID = :ID"),
      S("BEGIN\n  DBMS_APPLICATION_INFO.SET_MODULE(:MODULE, NULL);\nEND;"),
      S("SELECT ID, ITEM, QTY FROM WL_ORDERS WHERE ID = :ID"),
      S("SELECT ID FROM WL_ORDERS WHERE 1 = 0"),
  };
  std::vector<Statement> reference;
  for (const char* file :
       {"python_thin_any_sll2.pcap", "python_thin_any_sll.pcap", "python_thin_ipv6.pcap"}) {
    SCOPED_TRACE(file);
    const std::vector<Session> sessions = Replay(file);
    ASSERT_EQ(sessions.size(), 1u);
    ExpectIdentity(*sessions[0].record,
                   {"XE", "", "/USR/BIN/PYTHON3", "VM", "ROOT", "SCOTT"});
    // Re-executions name their cursor only, so each text is seen once; the 10 KB DELETE
    // spans several packets, of which the first chunk's part is extracted.
    const std::vector<Statement>& got = sessions[0].statements;
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(std::vector<Statement>(got.begin(), got.begin() + 6), first_six);
    EXPECT_EQ(got[6].text.rfind("DELETE FROM WL_ORDERS WHERE ID IN (100000, 100001, ", 0), 0u);
    EXPECT_GT(got[6].text.size(), 8000u);
    if (reference.empty()) reference = got;
    EXPECT_TRUE(got == reference) << "the link types give different statements";
  }
}

TEST_F(RecordedSessions, EveryCaptureIsCovered) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(testsupport::CapturesDirectory())) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".pcap" || ext == ".pcapng") files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{
                       "7_oracle10_2016.pcapng", "Oracle-WinWin-1.pcap", "Oracle-good.pcap",
                       "TNS_Oracle4.pcap", "arkime_oracle.pcap",
                       "oracle_11g_password1234567890.pcapng", "python_thin_any_sll.pcap",
                       "python_thin_any_sll2.pcap", "python_thin_ipv6.pcap",
                       "trex_cap2_Oracle.pcap", "try-1-simple.pcap"}))
      << "a new capture needs its expectations here";
}

}  // namespace
}  // namespace qx::capture
