// Live passive capture through the real executable, as root on the loopback interface: two
// passive services on 127.0.0.1 share one sniffer and each records the Oracle Net sessions that
// a test client holds with a test listener, in the 2-byte and the 4-byte length framing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "support/oracle_frames.h"
#include "support/test_util.h"

namespace qx::test {
namespace {

int LoopbackSocket(uint16_t port, bool listen_on, uint16_t* bound) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (listen_on) {
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 8) != 0) {
      close(s);
      return -1;
    }
  } else if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  if (bound) *bound = ntohs(a.sin_port);
  return s;
}

// A listener that answers every chunk it receives with a few bytes, as a server would.
class TestListener {
 public:
  TestListener() {
    fd_ = LoopbackSocket(0, true, &port_);
    thread_ = std::thread([this] {
      for (;;) {
        const int c = accept(fd_, nullptr, nullptr);
        if (c < 0 || stop_) {
          if (c >= 0) close(c);
          return;
        }
        // The CONNECT gets its ACCEPT, every later request an answer in the framing agreed.
        char buf[65536];
        bool four_byte = false, accepted = false;
        for (ssize_t n; (n = recv(c, buf, sizeof buf, 0)) > 0;) {
          std::string answer;
          if (!accepted) {
            answer = testsupport::TnsAcceptFor(std::string(buf, static_cast<size_t>(n)));
            four_byte = ((static_cast<uint8_t>(answer[8]) << 8) | static_cast<uint8_t>(answer[9])) >= 315;
            accepted = true;
          } else {
            answer = testsupport::TnsReply(four_byte);
          }
          send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        close(c);
      }
    });
  }
  ~TestListener() {
    stop_ = true;
    const int wake = LoopbackSocket(port_, false, nullptr);
    if (wake >= 0) close(wake);
    thread_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One client session: each packet is sent once the answer to the previous one has arrived, so
// every packet travels in a segment of its own. Returns the client's port.
uint16_t RunSession(uint16_t server_port, bool four_byte) {
  uint16_t port = 0;
  const int s = LoopbackSocket(server_port, false, nullptr);
  if (s < 0) return 0;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  const std::vector<std::string> packets = {
      testsupport::TnsConnect("sqlplus@tester", "tester", "oper", "orcl", false, four_byte),
      testsupport::TnsAuth("SCOTT", four_byte),
      testsupport::TnsStatement("select ename from emp", four_byte),
      testsupport::TnsStatement("update emp set sal = sal + 1", four_byte),
      testsupport::TnsEnd(four_byte)};
  for (size_t i = 0; i < packets.size(); ++i) {
    send(s, packets[i].data(), packets[i].size(), MSG_NOSIGNAL);
    if (i + 1 < packets.size()) {
      char buf[256];
      recv(s, buf, sizeof buf, 0);
    }
  }
  close(s);
  return port;
}

size_t HistoryRows(const std::string& db, const std::string& where) {
  const auto rows = SqliteRows(
      db, "select count(*) from qx_client_sql_history h join qx_client_sql s on s.id = h.sql_id "
          "where " + where);
  return rows.empty() ? 0 : std::stoul(rows[0][0]);
}

TEST(PassiveLive, TwoServicesOnLoopbackRecordBothFramings) {
  if (geteuid() != 0) GTEST_SKIP() << "live capture needs root";
  TempDir dir;
  CopyFileTo(BinaryPath("qxservice"), dir.File("qxservice"));
  CopyFileTo(BinaryPath("qxadmin"), dir.File("qxadmin"));
  std::string out;
  ASSERT_EQ(RunProgram({dir.File("qxadmin"), "init", "sqlite:repo.db"}, &out), 0) << out;
  TestListener listener;
  for (const std::string name : {"A", "B"}) {
    ASSERT_EQ(RunProgram({dir.File("qxadmin"), "-r", "sqlite:repo.db", "service", "add", "--name",
                          name, "--oracle-host", "127.0.0.1", "--oracle-port",
                          std::to_string(listener.port()), "--work-port", "0", "--manage-port",
                          std::to_string(FreePort()), "--ip-interface", "127.0.0.1"},
                         &out),
              0)
        << out;
  }
  WriteText(dir.File("qxservice.ini"),
            "[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=A,B\nDebugConnections=1\n");
  Child service({dir.File("qxservice")});
  const auto has = [&dir](const std::string& line) {
    const auto log = LogMessages(dir.File("qxservice.log"));
    return std::find(log.begin(), log.end(), line) != log.end();
  };
  // B is started first (the walk runs backwards) and A shares its sniffer.
  ASSERT_TRUE(WaitUntil(
      [&] {
        return has("Quorvex listener for service B has been successfully started on ip interface "
                   "127.0.0.1") &&
               has("Quorvex listener for service A has been successfully bound to ip interface "
                   "127.0.0.1");
      },
      10000))
      << ReadText(dir.File("qxservice.log"));
  EXPECT_TRUE(has("Found listening thread for ip interface 127.0.0.1 for service A"));

  const uint16_t two = RunSession(listener.port(), false);
  const uint16_t four = RunSession(listener.port(), true);
  ASSERT_NE(two, 0);
  ASSERT_NE(four, 0);
  for (const std::string name : {"A", "B"}) {
    for (uint16_t port : {two, four}) {
      const std::string line = "Service :: " + name + "Client connection from IP 127.0.0.1 port " +
                               std::to_string(port) + " disconnected.";
      EXPECT_TRUE(WaitUntil([&] { return has(line); }, 10000)) << line;
    }
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(10000), 0);

  const std::string db = dir.File("repo.db");
  std::string rows;
  for (const auto& r : SqliteRows(db, "select s.sqltext, h.orauser, h.ip, h.program, h.username "
                                      "from qx_client_sql_history h join qx_client_sql s on "
                                      "s.id = h.sql_id")) {
    for (const auto& v : r) rows += v + "|";
    rows += "\n";
  }
  for (const std::string id : {"1", "2"}) {
    EXPECT_EQ(HistoryRows(db, "h.srvc_id = " + id), 4u);
    EXPECT_EQ(HistoryRows(db, "h.srvc_id = " + id +
                                  " and s.sqltext = 'select ename from emp' and h.orauser = "
                                  "'SCOTT' and h.ip = '127.0.0.1' and h.program = "
                                  "'SQLPLUS@TESTER' and h.username = 'OPER'"),
              2u)
        << rows;
    EXPECT_EQ(HistoryRows(db, "h.srvc_id = " + id +
                                  " and s.sqltext = 'update emp set sal = sal + 1'"),
              2u);
  }
  EXPECT_TRUE(LogMessages(dir.File("qxerror.log")).empty());
}

}  // namespace
}  // namespace qx::test
