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
  // Written lines leave the record: a later flush writes only what came after.
  EXPECT_EQ(r->traceLines->size(), 0u);
  AddTrace(*r, "third");
  FlushTrace(f.svc, *r);
  EXPECT_EQ(test::ReadText(f.dir.File("ORCL.log")),
            "Connection# 3: first\r\nConnection# 3:  second \r\nConnection# 3: third\r\n");

  // With its number final, a long trace goes out as it grows: never more than the buffer in
  // memory, every line once and in order.
  r->traceSink = &service;
  const std::string text(100, 'q');
  for (int i = 0; i < 5000; ++i) {
    AddTrace(*r, std::to_string(i) + text);
    ASSERT_LE(r->traceBytes, kTraceBufferBytes);
  }
  FlushTrace(f.svc, *r);
  const std::string log = test::ReadText(f.dir.File("ORCL.log"));
  size_t at = log.find("Connection# 3: 0" + text);
  ASSERT_NE(at, std::string::npos);
  for (int i = 0; i < 5000; ++i) {
    const std::string line = "Connection# 3: " + std::to_string(i) + text + "\r\n";
    ASSERT_EQ(log.compare(at, line.size(), line), 0) << i;
    at += line.size();
  }
  EXPECT_EQ(at, log.size());
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
}  // namespace
}  // namespace qx::capture
