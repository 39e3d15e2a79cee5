// Real Oracle thin clients watched by a passive service: the clients talk to the stand-in Oracle
// server directly on loopback while a qxservice captures the frames on lo (live, so root only).
// node-oracledb's statements are stored as the client wrote them and its connection ends at its
// end packet; python-oracledb writes "PROTOCOL=tcp" in small letters, which the passive mode
// does not take for a connect descriptor, so its connection is never tracked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/oracle_frames.h"
#include "support/running_service.h"
#include "support/thin_clients.h"

namespace qx::test {
namespace {

const char* const kStarted =
    "Quorvex listener for service XE has been successfully started on ip interface 127.0.0.1";
const char* const kConnectionPrefix = "Service :: XE New client connection from IP 127.0.0.1 port ";
const char* const kClosingPrefix = "Service :: XEClient connection from IP 127.0.0.1 port ";
// Written when the service stops: a passive connection still open then was not closed by the
// client's end packet.
const char* const kFlushedPrefix = "Connection disconnected for host ";

// The client port of each connection the service saw, in order, from its connection lines.
std::vector<int> PortsOf(const std::vector<std::string>& log, const std::string& prefix) {
  std::vector<int> out;
  for (const std::string& m : log) {
    if (m.rfind(prefix, 0) == 0) out.push_back(std::atoi(m.c_str() + prefix.size()));
  }
  return out;
}

// Where the first message starting with `prefix` is; log.size() when none does.
size_t IndexOf(const std::vector<std::string>& log, const std::string& prefix) {
  return std::find_if(log.begin(), log.end(),
                      [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }) -
         log.begin();
}

class PassiveThinClient : public ::testing::Test {
 protected:
  // Skips unless live capture is possible and the client is there; else starts the stand-in
  // and a qxservice with one passive service on 127.0.0.1 watching it, with connection
  // debugging on for the connection lines.
  void Start(const std::string& client) {
    if (geteuid() != 0) GTEST_SKIP() << "live capture on lo needs root";
    if (!ClientPresent(client)) GTEST_SKIP() << ClientMissingReason(client);
    standin_ = std::make_unique<Standin>(dir_);
    ASSERT_GT(standin_->port(), 0) << ReadText(dir_.File("standin.out"));
    ASSERT_EQ(PrepareService(dir_,
                             {"--oracle-host", "127.0.0.1", "--oracle-port",
                              std::to_string(standin_->port()), "--work-port", "0",
                              "--manage-port", std::to_string(FreePort()), "--ip-interface",
                              "127.0.0.1"},
                             "DebugConnections=1\n"),
              "");
    service_ = std::make_unique<Child>(std::vector<std::string>{dir_.File("qxservice")},
                                       dir_.File("qxservice.out"));
    ASSERT_TRUE(WaitUntil([&] { return LogHasPrefix(ServiceLogPath(), kStarted); }, 10000))
        << ReadText(ServiceLogPath());
  }
  void TearDown() override {
    if (service_ && service_->Running()) service_->Signal(SIGTERM);
    if (service_) service_->Wait(10000);
    if (standin_) standin_->Stop();
  }
  std::string ServiceLogPath() const { return dir_.File("qxservice.log"); }
  std::vector<std::string> ServiceLog() const { return LogMessages(ServiceLogPath()); }
  // Waits (5 s at most) until the service has logged the closing of the connection from
  // `port`; false when it did not.
  bool WaitForClosing(int port) {
    return WaitUntil(
        [&] {
          const auto closed = PortsOf(ServiceLog(), kClosingPrefix);
          return std::find(closed.begin(), closed.end(), port) != closed.end();
        },
        5000);
  }
  int StopService() {
    service_->Signal(SIGTERM);
    return service_->Wait(10000);
  }

  TempDir dir_;
  std::unique_ptr<Standin> standin_;
  std::unique_ptr<Child> service_;
};

TEST_F(PassiveThinClient, NodeStatementsKeepTheirLetterCaseAndTheEndPacketClosesTheConnection) {
  Start("node");
  if (IsSkipped() || HasFatalFailure()) return;
  const WorkloadResult run = RunWorkload("node", standin_->port());
  ASSERT_EQ(run.code, 0) << run.output;
  ASSERT_TRUE(run.summary) << run.output;
  WaitUntil([&] { return !PortsOf(ServiceLog(), kConnectionPrefix).empty(); }, 5000);
  const auto seen = PortsOf(ServiceLog(), kConnectionPrefix);
  ASSERT_EQ(seen.size(), 1u) << ReadText(ServiceLogPath());
  EXPECT_TRUE(WaitForClosing(seen[0])) << ReadText(ServiceLogPath());
  EXPECT_EQ(StopService(), 0);

  // Closed by its end packet (4-byte length, as after an ACCEPT of version 315 or later) while
  // the service ran, not flushed by the stop.
  const auto log = ServiceLog();
  const size_t closing = IndexOf(log, kClosingPrefix);
  EXPECT_LT(closing, log.size());
  EXPECT_LT(closing, IndexOf(log, "Managing listener for service XE has been stopped."));
  EXPECT_EQ(IndexOf(log, kFlushedPrefix), log.size()) << ReadText(ServiceLogPath());
  EXPECT_TRUE(HasEvent(standin_->Events(1), "CLOSE"));

  // One history row per execution, re-executions included, in order, the text as the client
  // wrote it, with the client's identity.
  const auto rows = RecordedExecutions(dir_.File("repo.db"));
  const std::vector<std::string> executed = Executions(standin_->Events(1), false);
  ASSERT_EQ(executed.size(), 13u);
  ASSERT_EQ(rows.size(), executed.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string sent = Unescape(executed[i]);
    EXPECT_EQ(rows[i][0], sent.substr(0, kStoredTextLimit)) << "row " << i;
    EXPECT_EQ(rows[i][2], "127.0.0.1");
    EXPECT_EQ(rows[i][3], Upper(kStandinUser));
    EXPECT_EQ(rows[i][4], "XE");
    EXPECT_NE(rows[i][5].find("NODE"), std::string::npos) << rows[i][5];
  }
  EXPECT_EQ(rows[0][0].find("wl_orders"), 13u);  // "CREATE TABLE wl_orders (id NUMBER, ..."
  EXPECT_TRUE(LogMessages(dir_.File("qxerror.log")).empty());
}

TEST_F(PassiveThinClient, PythonConnectionWithItsLowerCaseProtocolIsRecorded) {
  Start("python");
  if (IsSkipped() || HasFatalFailure()) return;
  // With the counting part: cached re-executions and a refused statement.
  setenv("QX_WORKLOAD_REPEAT", "1", 1);
  const WorkloadResult run = RunWorkload("python", standin_->port());
  unsetenv("QX_WORKLOAD_REPEAT");
  ASSERT_EQ(run.code, 0) << run.output;
  ASSERT_TRUE(run.summary) << run.output;
  const auto events = standin_->Events(1);
  ASSERT_FALSE(events.empty());
  EXPECT_NE(events[0].details.find("(PROTOCOL=tcp)"), std::string::npos) << events[0].details;
  WaitUntil([&] { return !PortsOf(ServiceLog(), kConnectionPrefix).empty(); }, 5000);
  const auto seen = PortsOf(ServiceLog(), kConnectionPrefix);
  ASSERT_EQ(seen.size(), 1u) << ReadText(ServiceLogPath());
  EXPECT_TRUE(WaitForClosing(seen[0])) << ReadText(ServiceLogPath());
  EXPECT_EQ(StopService(), 0);

  const auto rows = RecordedExecutions(dir_.File("repo.db"));
  const std::vector<std::string> executed = Executions(events, false);
  ASSERT_EQ(rows.size(), executed.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], Unescape(executed[i]).substr(0, kStoredTextLimit)) << "row " << i;
    EXPECT_EQ(rows[i][3], Upper(kStandinUser));
  }
  EXPECT_EQ(rows.size(), 13u + 50u + 50u + 1u);
  const auto outcomes = SqliteRows(
      dir_.File("repo.db"),
      "select h.rows_processed, h.error_code, count(*) from qx_client_sql_history h join "
      "qx_client_sql s on s.id = h.sql_id where s.sqltext like 'UPDATE wl_orders SET qty = qty "
      "+ 1%' or s.sqltext = 'SELECT * FROM missing_table' group by 1, 2 order by 1");
  EXPECT_EQ(outcomes, (std::vector<std::vector<std::string>>{{"0", "942", "1"},
                                                              {"3", "0", "50"}}));
}

}  // namespace
}  // namespace qx::test
