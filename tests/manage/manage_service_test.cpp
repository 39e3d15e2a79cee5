// The managing port of the real executable: its answers while relayed sessions come and go,
// and its behaviour under garbage, a flood of bytes and a burst of clients.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <random>
#include <regex>
#include <thread>

#include "platform/datetime.h"
#include "support/running_service.h"

namespace qx::test {
namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Seconds since 1899-12-30 of "YYYY-MM-DD HH:MM:SS" (or the date alone), -1 if malformed.
double StampSeconds(const std::string& stamp) {
  platform::LocalTime t;
  const int fields = std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%d", &t.year, &t.month, &t.day,
                                 &t.hour, &t.minute, &t.second);
  if (fields != 3 && fields != 6) return -1;
  return platform::EncodeDateTime(t) * 86400.0;
}

std::string EmptyEntry(const std::string& session_id) {
  return "@QXC@session_id=" + session_id +
         "@QXR@logontime=0@QXR@service_name=@QXR@sid=@QXR@program_name=@QXR@host=@QXR@ip="
         "@QXR@oracle_service=@QXR@username=@QXR@orauser=@QXR@@QXC@";
}

std::string SqlplusEntry(const std::string& session_id, const std::string& logon_time) {
  return "@QXC@session_id=" + session_id + "@QXR@logontime=" + logon_time +
         "@QXR@service_name=ORCL@QXR@sid=@QXR@program_name=SQLPLUS@QXR@host=LOCALHOST@QXR@ip="
         "127.0.0.1@QXR@oracle_service=ORCL@QXR@username=KING@QXR@orauser=@QXR@@QXC@";
}

class ManagePort : public ::testing::Test {
 protected:
  void StartService(const std::vector<std::vector<std::string>>& admin = {},
                    const std::string& ini_lines = "") {
    service_ = std::make_unique<RunningService>(admin, ini_lines);
    std::string why;
    ASSERT_TRUE(service_->Start(&why)) << why;
  }
  // The session list may be empty, which is answered with nothing: wait briefly only.
  static std::string SessionList(TcpClient& c) { return c.Ask("getCurrentSessionList", 500); }

  std::unique_ptr<RunningService> service_;
};

TEST_F(ManagePort, AnswersEachWordWhileSessionsComeAndGo) {
  StartService();
  TcpClient m(service_->manage_port());
  ASSERT_TRUE(m.Connected());
  EXPECT_EQ(m.Ask("getCurrConn"), "0");
  EXPECT_EQ(m.Ask("getTotConn"), "0");
  EXPECT_EQ(SessionList(m), "");

  // One session with its descriptor decoded, one accepted that has sent nothing yet.
  auto session = OpenSession(service_->work_port());
  ASSERT_TRUE(session);
  TcpClient pending(service_->work_port());
  ASSERT_TRUE(pending.Connected());
  ASSERT_TRUE(WaitUntil([&] { return m.Ask("getTotConn") == "2"; }, 10000));

  const std::string started = m.Ask("getStarted");
  EXPECT_TRUE(std::regex_match(started, std::regex(R"(\d{4}-\d\d-\d\d( \d\d:\d\d:\d\d)?)")))
      << started;
  // The listener's start, as its log line tells it.
  std::string stamp;
  for (const std::string& line : Lines(ReadText(service_->dir().File("qxservice.log")))) {
    if (line.find("Quorvex managing listener for service ORCL") != std::string::npos) {
      stamp = line.substr(0, line.find(":: "));
    }
  }
  EXPECT_NEAR(StampSeconds(started), StampSeconds(stamp), 2.0) << started << " / " << stamp;
  EXPECT_EQ(m.Ask("getStarted\r\n"), started);
  EXPECT_EQ(m.Ask(" \tgetStarted  \r\n"), started);
  EXPECT_EQ(m.Ask("GETSTARTED"), "InvalidRequest");
  EXPECT_EQ(m.Ask("getstarted"), "InvalidRequest");
  EXPECT_EQ(m.Ask(" \r\n"), "InvalidRequest");  // empty once trimmed

  // The pending connection is listed but not counted.
  EXPECT_EQ(m.Ask("getCurrConn"), "1");
  const std::string list = SessionList(m);
  std::smatch first, second;
  ASSERT_TRUE(std::regex_search(list, first,
                                std::regex(R"(^@QXC@session_id=(\d+)@QXR@logontime=([0-9.]+)@)")))
      << list;
  ASSERT_TRUE(std::regex_search(list, second, std::regex(R"(@QXC@@QXC@session_id=(\d+)@)")))
      << list;
  EXPECT_EQ(list, SqlplusEntry(first[1], first[2]) + EmptyEntry(second[1]));
  EXPECT_EQ(Count(list, "@QXR@"), 20u);
  EXPECT_EQ(Count(list, "@QXC@"), 4u);
  EXPECT_LT(std::stod(first[1]), std::stod(second[1]));
  // The logon time: a moment ago, as days with a full stop before the fraction.
  double logon = 0;
  const std::string logon_text = first[2];
  std::from_chars(logon_text.data(), logon_text.data() + logon_text.size(), logon);
  EXPECT_NEAR(logon, platform::NowDateTime(), 2.0 / 1440);
  EXPECT_NE(logon_text.find('.'), std::string::npos);

  // The sessions end; the total keeps them.
  session->Close();
  pending.Close();
  EXPECT_TRUE(WaitUntil([&] { return SessionList(m).empty(); }, 10000));
  EXPECT_EQ(m.Ask("getCurrConn"), "0");
  EXPECT_EQ(m.Ask("getTotConn"), "2");

  EXPECT_EQ(service_->Stop(), 0);
}

TEST_F(ManagePort, TotalCountsExcludedAndUnfinishedConnections) {
  StartService({{"service-filter", "add", "--service", "ORCL", "--type", "EXCLUDE", "--program",
                 "SQLPLUS"}},
               "DebugConnections=1\r\n");
  TcpClient m(service_->manage_port());
  ASSERT_TRUE(m.Connected());

  auto excluded = OpenSession(service_->work_port());
  ASSERT_TRUE(excluded);
  const auto log = LogMessages(service_->dir().File("qxservice.log"));
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "Disabling monitoring of new connection from host LOCALHOST"),
            log.end());
  // Excluded, but established: counted and listed.
  EXPECT_EQ(m.Ask("getCurrConn"), "1");
  EXPECT_EQ(Count(SessionList(m), "program_name=SQLPLUS@"), 1u);
  EXPECT_EQ(excluded->Ask("still relayed"), "still relayed");
  excluded->Close();

  {
    TcpClient silent(service_->work_port());  // ends without ever sending its descriptor
    ASSERT_TRUE(silent.Connected());
    ASSERT_TRUE(WaitUntil([&] { return m.Ask("getTotConn") == "2"; }, 10000));
  }
  EXPECT_TRUE(WaitUntil([&] { return SessionList(m).empty(); }, 10000));
  EXPECT_EQ(m.Ask("getCurrConn"), "0");
  EXPECT_EQ(m.Ask("getTotConn"), "2");
  EXPECT_EQ(service_->Stop(), 0);
}

TEST_F(ManagePort, GarbageFloodAndBurstsLeaveItAnsweringAndRelaying) {
  StartService();
  auto session = OpenSession(service_->work_port());
  ASSERT_TRUE(session);

  TcpClient m(service_->manage_port());
  ASSERT_TRUE(m.Connected());
  EXPECT_EQ(m.Ask(std::string("\0\xff\x01getStarted\x80", 14)), "InvalidRequest");
  EXPECT_EQ(m.Ask("getStarted getCurrConn"), "InvalidRequest");  // two words, one read
  // A word split over two reads is two requests, each invalid.
  EXPECT_EQ(m.Ask("getCurr"), "InvalidRequest");
  EXPECT_EQ(m.Ask("Conn"), "InvalidRequest");
  EXPECT_EQ(m.Ask("getCurrConn"), "1");

  // 1 MB of random bytes: every read is answered "InvalidRequest", nothing else.
  {
    TcpClient flood(service_->manage_port());
    ASSERT_TRUE(flood.Connected());
    std::mt19937 random(7);
    std::string bytes(1 << 20, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string answers;
    std::thread reader([&] { answers = flood.Read(10000, 500); });
    EXPECT_TRUE(flood.Send(bytes));
    reader.join();
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.size() % 14, 0u);
    EXPECT_EQ(Count(answers, "InvalidRequest") * 14, answers.size());
    EXPECT_EQ(flood.Ask("getCurrConn"), "1");
  }

  // A burst of clients that connect at once and leave: some silently, some after a request
  // whose answer they never read, some with a reset.
  const int clients = UnderSanitizer() ? 100 : 500;
  const int threads = 10;
  std::vector<std::vector<std::unique_ptr<TcpClient>>> opened(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < clients / threads; ++i) {
        auto c = std::make_unique<TcpClient>(service_->manage_port());
        if (i % 3 == 0) c->Send("getCurrentSessionList");
        opened[t].push_back(std::move(c));
      }
    });
  }
  for (auto& w : workers) w.join();
  int connected = 0;
  for (auto& list : opened) {
    for (auto& c : list) connected += c->Connected();
  }
  EXPECT_EQ(connected, clients);
  for (auto& list : opened) {
    for (size_t i = 0; i < list.size(); ++i) {
      if (i % 5 == 0) {
        list[i]->Reset();
      } else {
        list[i]->Close();
      }
    }
  }

  TcpClient after(service_->manage_port());
  ASSERT_TRUE(after.Connected());
  EXPECT_EQ(after.Ask("getCurrConn"), "1");
  EXPECT_EQ(m.Ask("getTotConn"), "1");
  EXPECT_EQ(session->Ask("relayed still"), "relayed still");
  auto second = OpenSession(service_->work_port());
  ASSERT_TRUE(second);
  EXPECT_EQ(after.Ask("getCurrConn"), "2");
  EXPECT_EQ(Count(after.Ask("getCurrentSessionList"), "@QXC@"), 4u);

  EXPECT_TRUE(service_->Running());
  session.reset();
  second.reset();
  // A leak or a memory error would show in the exit code and the output under a sanitizer.
  EXPECT_EQ(service_->Stop(), 0);
  EXPECT_EQ(service_->Output().find("Sanitizer"), std::string::npos) << service_->Output();
  EXPECT_EQ(service_->Output().find("runtime error"), std::string::npos) << service_->Output();
}

TEST_F(ManagePort, IdleAndSurplusClientsAreClosedWhileTheRelayGoesOn) {
  StartService({}, "ManageIdleTimeout=3\nManageMaxClients=8\n");
  // Many more idle monitoring clients than allowed: the first eight are kept, the rest are
  // closed as soon as they are accepted, so that they cannot take the relay's descriptors.
#ifdef _WIN32
  const int clients = 300;  // under Wine each costs far more
#else
  const int clients = UnderSanitizer() ? 300 : 2000;
#endif
  const long limit = RaiseDescriptorLimit(65536);
  if (limit < clients + 100) GTEST_SKIP() << "the descriptor limit here is " << limit;
  std::vector<std::unique_ptr<TcpClient>> kept, surplus;
  for (int i = 0; i < 8; ++i) {
    kept.push_back(std::make_unique<TcpClient>(service_->manage_port()));
    EXPECT_EQ(kept.back()->Ask("getCurrConn"), "0") << i;
  }
  for (int i = 8; i < clients; ++i) {
    surplus.push_back(std::make_unique<TcpClient>(service_->manage_port()));
    ASSERT_TRUE(surplus.back()->Connected()) << i;
    // The kept clients ask now and then, so that the timeout does not free their places.
    if (i % 100 == 0) {
      for (auto& k : kept) {
        ASSERT_TRUE(k->Send("getCurrConn"));
        ASSERT_EQ(k->Read(5000, 5), "0") << i;
      }
    }
  }
  int answered = 0;
  for (auto& c : surplus) answered += !c->Ask("getCurrConn", 300).empty();
  EXPECT_EQ(answered, 0);
  surplus.clear();
  auto session = OpenSession(service_->work_port());
  ASSERT_TRUE(session);
  EXPECT_EQ(session->Ask("relayed"), "relayed");

  // Idle for longer than the timeout: closed, and a new client is answered again.
  SleepMs(4500);
  int open = 0;
  for (auto& k : kept) open += k->Ask("getCurrConn", 300) == "1";
  EXPECT_EQ(open, 0);
  kept.clear();
  TcpClient after(service_->manage_port());
  EXPECT_EQ(after.Ask("getTotConn"), "1");
  EXPECT_EQ(session->Ask("still relayed"), "still relayed");
  session.reset();
  EXPECT_EQ(service_->Stop(), 0);
  const std::string log = ReadText(service_->dir().File("qxservice.log"));
  EXPECT_NE(log.find("8 clients are connected, the most allowed (ManageMaxClients)"),
            std::string::npos) << log;
  EXPECT_NE(log.find(std::to_string(clients - 8) + " were closed meanwhile."), std::string::npos)
      << log;
  EXPECT_NE(log.find("idle for 3 s or more (ManageIdleTimeout)"), std::string::npos) << log;
}

// Linux facts: the process's CPU time from /proc and its descriptor limit (RLIMIT_NOFILE);
// Windows sockets have no such limit to run out of.
#ifndef _WIN32
// CPU seconds the process has used so far (user + system), from /proc.
double CpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; fields >> f && i <= 15; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(f);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(ManagePort, RunningOutOfDescriptorsNeitherSpinsNorStopsIt) {
  service_ = std::make_unique<RunningService>();
  service_->launcher = {"/bin/sh", "-c", "ulimit -n 48 && exec \"$0\""};
  std::string why;
  ASSERT_TRUE(service_->Start(&why)) << why;
  TcpClient first(service_->manage_port());
  ASSERT_EQ(first.Ask("getCurrConn"), "0");

  // More clients than the service has descriptors left: the last ones wait in the queue.
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int i = 0; i < 60; ++i) {
    clients.push_back(std::make_unique<TcpClient>(service_->manage_port()));
    ASSERT_TRUE(clients.back()->Connected());
  }
  TcpClient& queued = *clients.back();
  ASSERT_TRUE(queued.Send("getTotConn"));
  EXPECT_EQ(queued.Read(500), "");  // not accepted yet
  const double before = CpuSeconds(service_->pid());
  SleepMs(1000);
  EXPECT_LT(CpuSeconds(service_->pid()) - before, 0.15);  // waiting, not spinning

  // Once descriptors are free again, the queued client is taken and answered.
  for (int i = 0; i < 40; ++i) clients[i]->Close();
  EXPECT_EQ(queued.Read(5000), "0");
  EXPECT_EQ(first.Ask("getCurrConn"), "0");
  clients.clear();
  auto session = OpenSession(service_->work_port());
  ASSERT_TRUE(session);
  EXPECT_EQ(first.Ask("getCurrConn"), "1");
  session.reset();
  EXPECT_EQ(service_->Stop(), 0);
}

#endif  // !_WIN32

}  // namespace
}  // namespace qx::test
