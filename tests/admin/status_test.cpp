// qxadmin status against a running service, an unreachable port and a peer that hangs up;
// the parsing of session lists and logon times it relies on.
#include <gtest/gtest.h>
#include "support/net_headers.h"


#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "admin/admin.h"
#include "admin/status.h"
#include "platform/net.h"
#include "support/running_service.h"

namespace qx::test {
namespace {

// The cells of an aligned row, cut at the column starts of the line of dashes under the header.
std::vector<std::string> Cells(const std::string& dashes, const std::string& row) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < dashes.size(); ++i) {
    if (dashes[i] == '-' && (i == 0 || dashes[i - 1] == ' ')) starts.push_back(i);
  }
  std::vector<std::string> cells;
  for (size_t c = 0; c < starts.size(); ++c) {
    const size_t end = c + 1 < starts.size() ? starts[c + 1] : std::string::npos;
    std::string cell = starts[c] < row.size() ? row.substr(starts[c], end - starts[c]) : "";
    while (!cell.empty() && cell.back() == ' ') cell.pop_back();
    cells.push_back(cell);
  }
  return cells;
}

struct Result {
  int code;
  std::string out, err;
};

Result Admin(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = admin::RunAdmin(args, "/nonexistent/", out, err);
  return {code, out.str(), err.str()};
}

// A socket listening on 127.0.0.1 with the given backlog; *port is where. -1 on failure.
int ListenOnLoopback(int backlog, int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, backlog) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) CloseSocket(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

TEST(AdminStatus, ShowsTheCountsAndSessionsOfARunningService) {
  RunningService service;
  std::string why;
  ASSERT_TRUE(service.Start(&why)) << why;
  const std::string qxadmin = service.dir().File("qxadmin");
  const std::string target = "127.0.0.1:" + std::to_string(service.manage_port());

  auto session = OpenSession(service.work_port());
  ASSERT_TRUE(session);
  TcpClient pending(service.work_port());
  ASSERT_TRUE(pending.Connected());
  std::string out;
  ASSERT_TRUE(WaitUntil(
      [&] { return RunProgram({qxadmin, "status", target, "getTotConn"}, &out) == 0 &&
                   out == "2\n"; },
      10000))
      << out;

  ASSERT_EQ(RunProgram({qxadmin, "status", target}, &out), 0) << out;
  const auto lines = Lines(out);
  ASSERT_EQ(lines.size(), 10u) << out;
  EXPECT_EQ(lines[0], "Service at " + target);
  const std::regex started(R"(Started:              \d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
  EXPECT_TRUE(std::regex_match(lines[1], started)) << lines[1];
  EXPECT_EQ(lines[2], "Current connections:  1");
  EXPECT_EQ(lines[3], "Total connections:    2");
  EXPECT_EQ(lines[4], "Sessions:             2");
  EXPECT_EQ(lines[5], "");
  const std::vector<std::string> header = {"SESSION_ID", "LOGON_TIME", "SERVICE_NAME",
                                           "SID",        "PROGRAM",    "HOST",
                                           "IP",         "OS_USER",    "ORACLE_USER"};
  EXPECT_EQ(Cells(lines[7], lines[6]), header);
  const auto first = Cells(lines[7], lines[8]);
  ASSERT_EQ(first.size(), 9u);
  EXPECT_TRUE(std::regex_match(first[0], std::regex(R"(\d+)"))) << first[0];
  EXPECT_TRUE(std::regex_match(first[1], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
      << first[1];
  EXPECT_EQ(std::vector<std::string>(first.begin() + 2, first.end()),
            (std::vector<std::string>{"ORCL", "", "SQLPLUS", "LOCALHOST", "127.0.0.1", "KING",
                                      ""}));
  // The connection without its descriptor: no logon time, nothing else known.
  const auto second = Cells(lines[7], lines[9]);
  EXPECT_TRUE(std::regex_match(second[0], std::regex(R"(\d+)"))) << second[0];
  EXPECT_EQ(std::vector<std::string>(second.begin() + 1, second.end()),
            (std::vector<std::string>{"-", "", "", "", "", "", "", ""}));

  EXPECT_EQ(RunProgram({qxadmin, "status", target, "getCurrConn"}, &out), 0);
  EXPECT_EQ(out, "1\n");
  EXPECT_EQ(RunProgram({qxadmin, "status", target, "GETSTARTED"}, &out), 0);
  EXPECT_EQ(out, "InvalidRequest\n");

  session.reset();
  pending.Close();
  ASSERT_TRUE(WaitUntil(
      [&] { return RunProgram({qxadmin, "status", target, "getCurrConn"}, &out) == 0 &&
                   out == "0\n"; },
      10000));
  ASSERT_TRUE(WaitUntil(
      [&] { return RunProgram({qxadmin, "status", target}, &out) == 0 &&
                   out.find("Sessions:             none\n") != std::string::npos; },
      10000))
      << out;

  // The empty session list is answered with nothing: a note, not a failure, after the wait.
  const auto begin = std::chrono::steady_clock::now();
  const Result empty = Admin({"status", target, "getCurrentSessionList"});
  const auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "qxadmin: no answer from " + target +
                           " within 500 ms: the session list is empty (the service sends "
                           "nothing for it)\n");
  EXPECT_GE(waited, std::chrono::milliseconds(admin::kEmptyAnswerMs));
  EXPECT_EQ(service.Stop(), 0);
}

TEST(AdminStatus, ExplainsAPortNobodyAnswersOn) {
  TempDir dir;
  CopyFileTo(BinaryPath("qxadmin"), dir.File("qxadmin"));
  const std::string target = "127.0.0.1:" + std::to_string(FreePort());
  std::string out;
  EXPECT_EQ(RunProgram({dir.File("qxadmin"), "status", target}, &out), 1);
  EXPECT_EQ(out, "qxadmin: cannot connect to " + target +
                     ": Connection refused. (socket error 10061); is the service running, and "
                     "is this its managing port?\n");

  // A peer that takes the request and hangs up without a word.
  int port = 0;
  const int listener = ListenOnLoopback(4, &port);
  ASSERT_GE(listener, 0);
  std::thread hang_up([listener] {
    const int c = accept(listener, nullptr, nullptr);
    if (c < 0) return;
    char request[64];
    (void)recv(c, request, sizeof request, 0);
    CloseSocket(c);
  });
  const std::string rude = "127.0.0.1:" + std::to_string(port);
  const Result r = Admin({"status", rude});
  hang_up.join();
  CloseSocket(listener);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "qxadmin: " + rude + " closed the connection without answering getStarted\n");
}

TEST(AdminStatus, GivesUpOnAHandshakeThatNeverCompletes) {
  // A listener whose accept queue is full drops further connection attempts unanswered.
  int port = 0;
  const int listener = ListenOnLoopback(0, &port);
  ASSERT_GE(listener, 0);
  std::vector<platform::SocketHandle> queued;
  platform::SocketError error;
  platform::SocketHandle s;
  const auto begin = std::chrono::steady_clock::now();
  while ((s = platform::ConnectTcpWithin("127.0.0.1", port, 300, &error)) !=
             platform::kInvalidSocket &&
         queued.size() < 10) {
    queued.push_back(s);
  }
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(s, platform::kInvalidSocket);
  EXPECT_EQ(error.code, 10060);
  EXPECT_LT(took, std::chrono::seconds(3));
  for (auto q : queued) platform::Close(q);
  CloseSocket(listener);
}

TEST(AdminStatus, RefusesAMalformedTarget) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"status"},
                                             {"status", "localhost"},
                                             {"status", ":7001"},
                                             {"status", "localhost:0"},
                                             {"status", "localhost:65536"},
                                             {"status", "localhost:70x"},
                                             {"status", "localhost:7001", "a", "b"},
                                             {"status", "localhost:7001", ""},
                                             {"status", "localhost:7001", "--csv"}}) {
    const Result r = Admin(args);
    EXPECT_EQ(r.code, 2) << args.size() << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_EQ(r.out, "");
  }
  const Result help = Admin({"--help"});
  EXPECT_NE(help.out.find("  status HOST:PORT "), std::string::npos);
  EXPECT_NE(help.out.find("  status HOST:PORT WORD "), std::string::npos);
}

TEST(AdminStatus, ReadsSessionListsAndLogonTimes) {
  const auto entries = admin::ParseSessionList(
      "@QXC@session_id=9@QXR@logontime=46365.75@QXR@service_name=A=B@QXR@sid=S@QXR@"
      "program_name=P@QXR@host=H@QXR@ip=1.2.3.4@QXR@oracle_service=A=B@QXR@username=U@QXR@"
      "orauser=O@QXR@@QXC@@QXC@session_id=10@QXR@logontime=0@QXR@future=x@QXR@@QXC@");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].sessionId, "9");
  EXPECT_EQ(entries[0].serviceName, "A=B");  // only the first "=" separates
  EXPECT_EQ(entries[0].oracleService, "A=B");
  EXPECT_EQ(entries[0].sid + entries[0].program + entries[0].host + entries[0].ip +
                entries[0].username + entries[0].orauser,
            "SPH1.2.3.4UO");
  EXPECT_EQ(entries[1].sessionId, "10");
  EXPECT_EQ(entries[1].program, "");
  EXPECT_TRUE(admin::ParseSessionList("").empty());
  EXPECT_TRUE(admin::ParseSessionList("InvalidRequest").empty());

  EXPECT_EQ(admin::LogonTimeText("46365.75"), "2026-12-09 18:00:00");
  EXPECT_EQ(admin::LogonTimeText("46365"), "2026-12-09 00:00:00");
  EXPECT_EQ(admin::LogonTimeText("0"), "");
  EXPECT_EQ(admin::LogonTimeText("46365,75"), "46365,75");  // not ours: shown as it came
  EXPECT_EQ(admin::LogonTimeText("1e300"), "1e300");
  EXPECT_EQ(admin::LogonTimeText("-5"), "-5");
}

}  // namespace
}  // namespace qx::test
