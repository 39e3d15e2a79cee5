// Connection records against a real (SQLite) repository: creation and numbering, the service
// filter's date condition, the trace written to the connection log, and recorded client
// traffic driven through the relay's own client-chunk path down to the catalogue and history.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../sql/store_support.h"
#include "capture/connect_descriptor.h"
#include "capture/connection.h"
#include "capture/relay_handlers.h"
#include "sql/byte_text.h"
#include "sql/sql_store.h"
#include "support/pcap_reader.h"

namespace qx::capture {
namespace {

using test::Row;
using test::Rows;
using test::ServiceFixture;

std::shared_ptr<TRelayConnection> Accepted(int peerPort) {
  auto c = std::make_shared<TRelayConnection>();
  c->peer_port = peerPort;
  c->peer_ip = "127.0.0.1";
  return c;
}

TEST(CreateConnection, NumbersRegistersAndAnnouncesEachAcceptedConnection) {
  ServiceFixture f;
  auto first = Accepted(40001);
  auto second = Accepted(40002);
  CreateConnection(f.svc, *first);
  CreateConnection(f.svc, *second);
  ASSERT_TRUE(first->data && second->data);
  EXPECT_EQ(first->data->connectionNo, 0);
  EXPECT_EQ(second->data->connectionNo, 1);
  EXPECT_EQ(first->data->sessionId, 1);
  EXPECT_EQ(second->data->sessionId, 2);
  EXPECT_EQ(second->data->relayThread, second.get());
  EXPECT_FALSE(second->data->established);
  ASSERT_TRUE(second->data->historyQueue);
  EXPECT_EQ(*second->data->traceLines,
            (std::vector<std::string>{"Connection# 1: Connection # 1 initialized.",
                                      "Connection# 1: Connection # 1 Connection Peer Port = 40002"}));
  EXPECT_EQ(f.ServiceLog(), (std::vector<std::string>{"Connection # 0 initialized.",
                                                      "Connection # 1 initialized."}));
  EXPECT_EQ(f.svc.relayThreads.size(), 2u);

  // Without a session number the connection is registered all the same; the failure is
  // logged. With a reserve that has none ready, it gets a placeholder key instead.
  f.Exec("delete from qx_sequences where name = 'qx_session_id_seq'");
  auto third = Accepted(40003);
  CreateConnection(f.svc, *third);
  ASSERT_TRUE(third->data);
  EXPECT_EQ(third->data->sessionId, 0);
  EXPECT_EQ(f.svc.relayThreads.size(), 3u);
  EXPECT_EQ(f.ServiceLog().size(), 4u);  // the failure and "initialized"
  ReleaseConnection(f.svc, *third);

  f.svc.sessionNumbers = std::make_unique<sql::SessionNumbers>(
      [] () -> double { throw std::runtime_error("locked"); }, [](const std::string&) {});
  auto fourth = Accepted(40004);
  CreateConnection(f.svc, *fourth);
  ASSERT_TRUE(fourth->data);
  EXPECT_EQ(fourth->data->sessionId, 0);
  EXPECT_NE(fourth->data->sessionKey, 0u);
  ReleaseConnection(f.svc, *fourth);
  f.svc.sessionNumbers.reset();

  ReleaseConnection(f.svc, *first);
  EXPECT_FALSE(first->data);
  ASSERT_EQ(f.svc.relayThreads.size(), 1u);
  EXPECT_EQ(f.svc.relayThreads[0].get(), second.get());
  ReleaseConnection(f.svc, *second);
  EXPECT_TRUE(f.svc.relayThreads.empty());
}

TEST(FlushTrace, WritesTheLinesUnchangedOnlyWhileTheConnectionLogIsOpen) {
  ServiceFixture f;
  service::TServiceData& service = test::AddServiceRecord(f, 1, "ORCL");
  auto r = test::NewRecord(&service, 3);
  AddTrace(*r, "first");
  AddTrace(*r, " second ");
  FlushTrace(f.svc, *r);  // log closed: nothing
  std::string error;
  ASSERT_TRUE(service.connLog.Create(f.dir.File("ORCL.log"), &error)) << error;
  service.connLogOpen = true;
  FlushTrace(f.svc, *r);
  EXPECT_EQ(test::ReadText(f.dir.File("ORCL.log")),
            "Connection# 3: first\r\nConnection# 3:  second \r\n");
  EXPECT_EQ(r->traceLines->size(), 2u);
  service.connLogOpen = false;
  service.connLog.Close();
}

class ConnectionFilter : public ::testing::Test {
 protected:
  // An EXCLUDE filter on host WS17 with the given date condition.
  void ExcludeWs17When(const std::string& dateExpr) {
    service::TServiceFilter filter;
    filter.id = 9;
    filter.filter_type = "EXCLUDE";
    filter.host = "WS17";
    filter.date_expr = dateExpr;
    service.serviceFilters = {filter};
  }
  // The decision line for a connection from WS17.
  std::string Decide() {
    auto r = test::NewRecord(&service, 0);
    r->established = false;
    r->ip = "127.0.0.1";
    AnalyzeConnectData(f.svc, *r, kDescriptor);
    EXPECT_EQ(r->host, "WS17");
    return r->traceLines->back();
  }

  static constexpr const char* kDescriptor =
      "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=DBSRV)(PORT=1521))(CONNECT_DATA=(SERVICE_NAME="
      "ORCL)(CID=(PROGRAM=C:\\APP\\CLIENT.EXE)(HOST=WS17)(USER=JSMITH))))";
  ServiceFixture f;
  service::TServiceData& service = test::AddServiceRecord(f, 1, "ORCL");
};

TEST_F(ConnectionFilter, DateConditionSeesTheConnectionTimeThroughConnTime) {
  ExcludeWs17When(" TO_CHAR(:CONN_TIME,'YYYY') > '2000' ");
  EXPECT_EQ(Decide(), "Connection# 0: Excluding this connection according to filter # 9");
  ExcludeWs17When("TO_CHAR(:CONN_TIME,'YYYY-MM-DD') = TO_CHAR(SYSDATE,'YYYY-MM-DD')");
  EXPECT_EQ(Decide(), "Connection# 0: Excluding this connection according to filter # 9");
  ExcludeWs17When("TO_CHAR(:CONN_TIME,'YYYY') < '2000'");
  EXPECT_EQ(Decide(), "Connection# 0: Including this connection for monitoring.");
  // Rejected conditions never hold, silently.
  for (const char* broken : {"NO_SUCH_FUNCTION(:CONN_TIME) = 1", "1 = ", "1 = 1; DELETE FROM DUAL"}) {
    ExcludeWs17When(broken);
    EXPECT_EQ(Decide(), "Connection# 0: Including this connection for monitoring.") << broken;
  }
  EXPECT_TRUE(CheckConnDateExpr(f.svc, "SYSDATE IS NOT NULL"));  // no bind at all
  EXPECT_TRUE(f.ServiceLog().empty());
  EXPECT_TRUE(f.ErrorLog().empty());
}

TEST_F(ConnectionFilter, DebugLinesPrecedeTheDecisionAndGoToTheServiceLog) {
  f.svc.debugConnections = true;
  auto r = test::NewRecord(&service, 4);
  r->ip = "127.0.0.1";
  AnalyzeConnectData(f.svc, *r, kDescriptor);
  EXPECT_EQ(*r->traceLines,
            (std::vector<std::string>{"Connection# 4:  Connection SERVICE_NAME = ORCL",
                                      "Connection# 4:  Connection SID = ",
                                      "Connection# 4:  Connection PROGRAM = C:\\APP\\CLIENT.EXE",
                                      "Connection# 4:  Connection HOST = WS17",
                                      "Connection# 4:  Connection IP ADDRESS = 127.0.0.1",
                                      "Connection# 4:  Connection USER = JSMITH",
                                      "Connection# 4: Including this connection for monitoring."}));
  EXPECT_EQ(f.ServiceLog(), (std::vector<std::string>{
                                " Connection 4 SERVICE_NAME = ORCL", " Connection SID = ",
                                " Connection PROGRAM = C:\\APP\\CLIENT.EXE",
                                " Connection HOST = WS17", " Connection IP ADDRESS = 127.0.0.1",
                                " Connection USER = JSMITH"}));
}

// Statement boundaries on one connection: the completed statement is stored with the time its
// server answers took, the queue is written once it holds sqlHistCacheCount entries, and a
// connection that ends on a skipped statement writes its newest queued entry with time 0.
TEST(ClientChunks, BoundariesStoreTheCompletedStatementAndWriteTheQueueInBatches) {
  ServiceFixture f;
  service::TServiceData& service = test::AddServiceRecord(f, 1, "ORCL");
  f.svc.sqlHistCacheCount = 2;
  auto r = test::NewRecord(&service, 0, 42);
  auto history = [&] {
    return Rows(f, "select c.sqltext, h.exec_time from qx_client_sql_history h join "
                   "qx_client_sql c on c.id = h.sql_id order by h.id");
  };
  // The server answers `ms` after the latest client chunk; the statement ran for a second.
  auto answer = [&](int32_t ms) {
    CountResponse(*r, r->requestTick + ms);
    r->sqlStart -= 1.0 / 86400;
  };
  ProcessClientChunk(f.svc, *r, "SELECT * FROM A");
  answer(40);
  ProcessClientChunk(f.svc, *r, "SELECT * FROM B");
  EXPECT_EQ(r->historyQueue->size(), 1u);
  answer(0);
  ProcessClientChunk(f.svc, *r, "\x03PING");  // no statement: only counts as a request
  EXPECT_EQ(r->requestCount, 2);
  ProcessClientChunk(f.svc, *r, "SELECT * FROM C");
  EXPECT_TRUE(r->historyQueue->empty());
  EXPECT_EQ(history(), (std::vector<Row>{{"SELECT * FROM A", "40"}, {"SELECT * FROM B", "0"}}));
  answer(25);
  ProcessClientChunk(f.svc, *r, "BEGIN P; EN");  // incomplete: skipped
  EXPECT_TRUE(r->sqlSkip);
  ASSERT_EQ(r->historyQueue->size(), 1u);
  EXPECT_EQ((*r->historyQueue)[0].exec_time, 25);
  // The connection ends on the skipped statement.
  if (!r->sqlSkip) sql::SaveSQL(f.svc, *r, 0);
  sql::InsertSQLHistory(f.svc, *r, true);
  sql::CloseSQLHistory(f.svc, *r);
  EXPECT_EQ(history(), (std::vector<Row>{{"SELECT * FROM A", "40"},
                                         {"SELECT * FROM B", "0"},
                                         {"SELECT * FROM C", "0"}}));
  EXPECT_EQ(f.Scalar("select count(*) from qx_client_sql"), "3");
}

// ---- Recorded client traffic through the relay's client-chunk path ----

// What one recorded session left in the repository.
struct StoredSession {
  Row identity;  // host, ip, orauser, service_name, sid, program, username, srvc_id
  std::vector<std::string> statements;  // in history order
  std::string lastExecTime;
};

// Replays every client-to-server payload of a capture as the relay would see it: a record
// created at the connection's first chunk, each chunk upper-cased, the descriptor chunk decoded
// (the client address stands in for the host lookup, as the relay's peer address would), every
// chunk of an established connection processed, and at the end the connection-end sequence.
std::vector<StoredSession> ReplayIntoRepository(const std::string& file) {
  ServiceFixture f;
  service::TServiceData& service = test::AddServiceRecord(f, 3, "RECORDED");
  f.svc.sqlHistCacheCount = 4;  // long sessions write their history in several batches
  std::vector<testsupport::TcpSegment> segments;
  std::string error;
  EXPECT_TRUE(testsupport::ReadTcpSegments(testsupport::CapturesDirectory() + "/" + file,
                                           &segments, &error))
      << error;
  std::map<size_t, std::shared_ptr<TRelayConnection>> connections;
  for (const testsupport::ClientChunk& chunk : testsupport::ClientToServerPayloads(segments)) {
    auto& connection = connections[chunk.connection];
    if (!connection) {
      connection = Accepted(50000 + static_cast<int>(chunk.connection));
      CreateConnection(f.svc, *connection);
      connection->data->service = &service;
    }
    TThreadData& r = *connection->data;
    if (r.excluded) continue;
    const std::string text = sql::UpperCase(chunk.payload);
    if (!r.established && IsConnectDescriptor(text)) {
      r.ip = "127.0.0.1";
      AnalyzeConnectData(f.svc, r, text);
      r.established = true;
    }
    if (!r.excluded && r.established) ProcessClientChunk(f.svc, r, text);
  }
  for (auto& [index, connection] : connections) {
    TThreadData& r = *connection->data;
    if (r.established) {
      if (!r.sqlSkip) sql::SaveSQL(f.svc, r, 0);
      sql::InsertSQLHistory(f.svc, r, true);
      sql::CloseSQLHistory(f.svc, r);
    }
    ReleaseConnection(f.svc, *connection);
  }
  EXPECT_TRUE(f.ErrorLog().empty());
  EXPECT_EQ(f.Scalar("select count(*) from qx_client_sql_history where sql_id not in "
                     "(select id from qx_client_sql)"),
            "0");

  std::vector<StoredSession> sessions;
  for (const Row& id : Rows(f, "select distinct session_id from qx_client_sql_history "
                               "order by session_id")) {
    StoredSession s;
    const std::vector<Row> rows =
        Rows(f, "select host, ip, orauser, service_name, sid, program, username, srvc_id, "
                "exec_time, c.sqltext from qx_client_sql_history h join qx_client_sql c on "
                "c.id = h.sql_id where session_id = " + id[0] + " order by h.id");
    for (const Row& row : rows) {
      const Row identity(row.begin(), row.begin() + 8);
      if (s.identity.empty()) s.identity = identity;
      EXPECT_EQ(identity, s.identity) << "one session, one identity";
      s.statements.push_back(row[9]);
      s.lastExecTime = row[8];
    }
    sessions.push_back(std::move(s));
  }
  return sessions;
}

// host, ip, orauser, service_name, sid, program, username, srvc_id; "" is stored as NULL.
Row Identity(const std::string& host, const std::string& orauser, const std::string& serviceName,
             const std::string& sid, const std::string& program, const std::string& username) {
  auto v = [](const std::string& s) { return s.empty() ? std::string("<null>") : s; };
  return {v(host), "127.0.0.1", v(orauser), v(serviceName), v(sid), v(program), v(username), "3"};
}

using Texts = std::vector<std::string>;

Texts Join(Texts a, const Texts& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Authentication data carries the key AUTH_ALTER_SESSION: the keyword search finds ALTER in it
// and the value's length byte stays on. The catalogue keeps it like any other statement.
std::string Auth(char lengthByte) { return std::string("ALTER_SESSION") + lengthByte; }

// sqlplus's start-up statements, as its 64-byte pieces leave them.
Texts SqlplusStartup() {
  return {"SELECT USER FROM DUAL",
          "BEGIN DBMS_OUTPUT.DISABLE; END;",
          "SELECT ATTRIBUTE,SCOPE,NUMERIC_VALUE,CHAR_VALUE,DATE_VALUE FROM SYSTEM.PRODUCT_PRIVS "
          "WHERE (UPPER('SQL*PLUS') LIKE UPPER(PRODUCT\x1a)) AND (USER LIKE USERID)",
          "SELECT CHAR_VALUE FROM SYSTEM.PRODUCT_PRIVS WHERE   (UPPER('SQL*PLUS') LIKE "
          "UPPER(PRODUCT)) AND   ((USER LIKE USERID) OR (USERID1 = 'PUBLIC')) AND   "
          "(UPPER(ATTRIBUTE) = 'ROLES')",
          "BEGIN DBMS_APPLICATION_INFO.SET_MODULE(:1,NULL); END;",
          "SELECT DECODE('A','A','1','2') FROM DUAL"};
}

class RecordedTraffic : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(testsupport::CapturesDirectory())) {
      GTEST_SKIP() << "no recorded sessions at " << testsupport::CapturesDirectory();
    }
  }
};

TEST_F(RecordedTraffic, SqlplusSessionsStoreTheirSixStatements) {
  for (const char* file : {"Oracle-good.pcap", "Oracle-WinWin-1.pcap"}) {
    SCOPED_TRACE(file);
    const std::vector<StoredSession> sessions = ReplayIntoRepository(file);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].statements, Join({Auth('%')}, SqlplusStartup()));
    EXPECT_EQ(sessions[0].lastExecTime, "0");
    EXPECT_EQ(sessions[0].identity,
              std::string(file) == "Oracle-good.pcap"
                  ? Identity("GODBOX", "OPENWALL", "ORCL", "", "SQLPLUS@GODBOX", "DSK")
                  : Identity("WIN-7RSSC38TVCL", "TESTUSER", "ORCL", "",
                             "C:\\INSTANTCLIENT_11_2\\SQLPLUS.EXE", "ADMINISTRATOR"));
  }
}

TEST_F(RecordedTraffic, Oracle11gXe) {
  const std::vector<StoredSession> sessions =
      ReplayIntoRepository("oracle_11g_password1234567890.pcapng");
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].identity, Identity("09EB2A35DC16", "", "XE", "", "SQLPLUS", "ORACLE"));
  EXPECT_EQ(sessions[0].statements,
            (Texts{Auth('O'),
                   "SELECT DECODE(USER, 'XS$NULL',  XS_SYS_CONTEXT('XS$SESSION','USERNAME'), "
                   "USER) FROM SYS.DUAL",
                   "BEGIN DBMS_APPLICATION_INFO.SET_MODULE(:1,NULL); END;"}));
}

TEST_F(RecordedTraffic, FailedLoginsStoreOnlyTheAuthenticationArtefact) {
  const std::vector<StoredSession> sessions = ReplayIntoRepository("try-1-simple.pcap");
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].statements, (Texts{Auth('O'), Auth('O')}));
  EXPECT_EQ(sessions[1].statements, (Texts{Auth('O')}));
  for (const StoredSession& s : sessions) {
    EXPECT_EQ(s.identity, Identity("GODBOX", "", "ORCL", "", "SQLPLUS@GODBOX", "DSK"));
  }
}

TEST_F(RecordedTraffic, Oracle10TwoSessionsBySid) {
  const std::vector<StoredSession> sessions = ReplayIntoRepository("7_oracle10_2016.pcapng");
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].identity, Identity("KALI", "SYS", "", "ORCL10", "SQLPLUS@KALI", "ROOT"));
  EXPECT_EQ(sessions[1].identity,
            Identity("KALI", "HACKERMAN", "", "ORCL10", "SQLPLUS@KALI", "ROOT"));
  EXPECT_EQ(sessions[0].statements,
            (Texts{Auth('%'), "CREATE USER HACKERMAN IDENTIFIED BY HACKERMAN",
                   "SELECT NAME, PASSWORD FROM SYS.USER$"}));
  EXPECT_EQ(sessions[1].statements,
            (Texts{Auth('%'),
                   "SELECT DECODE(USER, 'XS$NULL',  XS_SYS_CONTEXT('XS$SESSION','USERNAME'), "
                   "USER) FROM DUAL",
                   "BEGIN DBMS_OUTPUT.DISABLE; END;",
                   "SELECT ATTRIBUTE,SCOPE,NUMERIC_VALUE,CHAR_VALUE,DATE_VALUE FROM "
                   "SYSTEM.PRODUCT_PRIVS WHERE (UPPER('SQL*PLUS') LIKE UPPER(PRODUCT)) AND (USER "
                   "LIKE USERID)",
                   "SELECT CHAR_VALUE FROM SYSTEM.PRODUCT_PRIVS WHERE   (UPPER('SQL*PLUS') LIKE "
                   "UPPER(PRODUCT)) AND   ((USER LIKE USERID) OR (USERID = 'PUBLIC')) AND   "
                   "(UPPER(ATTRIBUTE) = 'ROLES')",
                   "BEGIN DBMS_APPLICATION_INFO.SET_MODULE(:1,NULL); END;",
                   "SELECT DECODE('A','A','1','2') FROM DUAL",
                   "ALTER USER SCOTT IDENTIFIED BY TIGER", "ALTER USER SCOTT ACCOUNT UNLOCK",
                   "SELECT ROLE FROM SYS.DBA_ROLES"}));
}

TEST_F(RecordedTraffic, ConnectsWithoutSqlStoreNothing) {
  for (const char* file : {"TNS_Oracle4.pcap", "arkime_oracle.pcap"}) {
    EXPECT_TRUE(ReplayIntoRepository(file).empty()) << file;
  }
}

TEST_F(RecordedTraffic, ToadSessionRepeatsItsSmallSelects) {
  const std::vector<StoredSession> sessions = ReplayIntoRepository("trex_cap2_Oracle.pcap");
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].identity,
            Identity("THOMAS", "", "SECSPH", "", "C:\\PROGRAM FILES\\QUEST SOFTWARE\\TOAD\\TOAD.EXE",
                     "SHEKHAR"));
  // The cut SET_MODULE block ("... EN") is incomplete and never stored.
  Texts want = {
      "ALTER_SESSION",
      "SELECT SID FROM V$SESSION  WHERE AUDSID = ( SELECT USERENV('SESS\x14"
      "IONID') FROM DUAL )",
      "SELECT * FROM SESSION_ROLES WHERE ROLE='DBA'",
      "SELECT VERSION \nFROM SYS.PRODUCT_COMPONENT_VERSION\nWHERE UPPER(P\x18"
      "RODUCT) LIKE '%ORACLE%'",
      "SELECT  /*+ RULE */ OBJECT_NAME FROM ALL_OBJECTS WHERE OBJECT_NA;ME='DBMS_DEBUG' AND "
      "OBJECT_TYPE='PACKAGE' AND OWNER='SYS'",
      "SELECT FEATURE FROM TOAD.TOAD_RESTRICTIONS WHERE USER_NAME=USER 2OR USER_NAME IN ( "
      "SELECT ROLE FROM SESSION_ROLES)",
      "SELECT USERNAME FROM SYS.ALL_USERS  ORDER BY USERNAME",
      "SELECT TYPE_NAME FROM SYS.USER_TYPES ORDER BY TYPE_NAME",
  };
  for (int i = 0; i < 13; ++i) {
    want = Join(want, {"SELECT IS_VISIBLE FROM CP_RULE", "SELECT XML FROM PU_DATA",
                       "SELECT NAME FROM P_VERSION"});
  }
  want = Join(want, {"SELECT 'X' FROM DUAL", "SELECT 'X' FROM DUAL"});
  EXPECT_EQ(sessions[0].statements, want);
}

}  // namespace
}  // namespace qx::capture
