// One instance per program directory, listeners that cannot start, and the files that hold
// traffic, through the real executable.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <signal.h>

#include <cstdio>

#include "support/running_service.h"
#include "support/test_util.h"

namespace qx::test {
namespace {

#ifndef _WIN32
int Mode(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}
#endif

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const auto& l : lines) {
    if (l == line) return true;
  }
  return false;
}

// Holds 127.0.0.1:port as a listening socket for the life of the object.
class PortSquatter {
 public:
  explicit PortSquatter(int port) {
#ifdef _WIN32
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    // Held the way the service holds its own ports: no other socket may share it.
    BOOL exclusive = TRUE;
    setsockopt(fd_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
#else
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ok_ = fd_ != kNone && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          listen(fd_, 4) == 0;
  }
  ~PortSquatter() {
#ifdef _WIN32
    if (fd_ != kNone) closesocket(fd_);
#else
    if (fd_ != kNone) close(fd_);
#endif
  }
  bool ok() const { return ok_; }

 private:
#ifdef _WIN32
  static constexpr SOCKET kNone = INVALID_SOCKET;
  SOCKET fd_ = kNone;
#else
  static constexpr int kNone = -1;
  int fd_ = kNone;
#endif
  bool ok_ = false;
};

TEST(Instance, ASecondInstanceRefusesAndLeavesTheFirstOneAlone) {
  RunningService first({}, "DebugConnections=1\r\n");
  // A trace left by an earlier run, readable by all: narrowed when the service reopens it.
  WriteText(first.dir().File("ORCL.log"), "old trace\r\n");
#ifndef _WIN32
  chmod(first.dir().File("ORCL.log").c_str(), 0644);
#endif
  std::string why;
  ASSERT_TRUE(first.Start(&why)) << why;
  auto client = OpenSession(first.work_port());
  ASSERT_TRUE(client);
  const std::string pid = std::to_string(first.pid());
  const std::string lock = first.dir().File("qxservice.lock");
  EXPECT_EQ(ReadText(lock), pid + "\n");
#ifndef _WIN32
  // Raw traffic and the recorded statements are for the service's account only. (On Windows
  // the program directory's access list decides.)
  EXPECT_EQ(Mode(first.dir().File("ORCL.log")), 0600);
  EXPECT_EQ(Mode(first.dir().File("repo.db")), 0600);
#endif

  const std::string repo = first.dir().File("repo.db");
  const char* status = "select service_id, host, service_start from qx_service_status";
  const auto rows = SqliteRows(repo, status);
  ASSERT_EQ(rows.size(), 1u);
  const char* logs[] = {"qxservice.log", "qxerror.log", "ORCL.log"};
  std::vector<std::string> before;
  for (const char* l : logs) before.push_back(ReadText(first.dir().File(l)));

  // Both ways of starting the service are refused before anything is touched.
  const std::vector<std::vector<std::string>> seconds = {
      {first.dir().File("qxservice")},
      {first.dir().File("qxservice"), "/REPLAY", first.dir().File("none.pcap")}};
  for (const auto& argv : seconds) {
    const ProgramOutcome o = RunProgramSplit(argv, 30000);
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("Another qxservice (process " + pid + ") is running from " +
                         first.dir().Dir() + ": it holds the lock file " + lock),
              std::string::npos)
        << o.err;
  }
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(ReadText(first.dir().File(logs[i])), before[i]) << logs[i];
  }
  EXPECT_EQ(SqliteRows(repo, status), rows);
  EXPECT_EQ(ReadText(lock), pid + "\n");

  // The first one goes on relaying, on its open connection and on new ones.
  EXPECT_EQ(client->Ask("still there"), "still there");
  EXPECT_TRUE(OpenSession(first.work_port()));
  client.reset();

  // A crash leaves no stale lock: the next start takes it over.
  first.Kill();
  ASSERT_TRUE(WaitUntil([&] { return !first.Running(); }, 10000));
  std::remove(first.dir().File("qxservice.log").c_str());  // Start() waits for its lines anew
  ASSERT_TRUE(first.Start(&why)) << why;
  EXPECT_EQ(ReadText(lock), std::to_string(first.pid()) + "\n");
  EXPECT_EQ(first.Stop(), 0);
}

TEST(Instance, ListenersThatCannotStartAreNamedAndTheOtherServicesRun) {
  const int two_work = FreePort();
  int two_manage;
  do {
    two_manage = FreePort();
  } while (two_manage == two_work);
  RunningService setup;
  std::string out;
  ASSERT_EQ(RunProgram({setup.dir().File("qxadmin"), "-r", "sqlite:repo.db", "service", "add",
                        "--name", "TWO", "--oracle-host", "127.0.0.1", "--oracle-port",
                        std::to_string(setup.oracle_port()), "--work-port",
                        std::to_string(two_work), "--manage-port", std::to_string(two_manage)},
                       &out),
            0)
      << out;
  const auto write_ini = [&](const std::string& services) {
    WriteText(setup.dir().File("qxservice.ini"),
              "[Service]\r\nrpstConnStr=sqlite:repo.db\r\nMonitorServices=" + services + "\r\n");
  };
  PortSquatter squatter(setup.work_port());
  ASSERT_TRUE(squatter.ok());
  const std::string cannot_listen = "Quorvex listener for service ORCL cannot listen on port " +
                                    std::to_string(setup.work_port()) +
                                    ": the service relays no client.";
  const std::string error_log = setup.dir().File("qxerror.log");
  const std::string service_log = setup.dir().File("qxservice.log");

  // ORCL cannot listen, NOPE does not exist; TWO runs. On Linux the soft descriptor limit is
  // lowered first, and the service raises it to the hard limit again.
  write_ini("ORCL, nope ,TWO");
#ifdef _WIN32
  const std::vector<std::string> argv = {setup.dir().File("qxservice")};
#else
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  const std::vector<std::string> argv = {"/bin/sh", "-c", "ulimit -Sn 256 && exec \"$0\"",
                                         setup.dir().File("qxservice")};
#endif
  {
    Child service(argv, setup.dir().File("out.txt"), {}, setup.dir().File("err.txt"));
    ASSERT_TRUE(WaitUntil(
        [&] {
#ifdef _WIN32  // no descriptor limit to log: the line on standard output ends the start
          if (ReadText(setup.dir().File("out.txt")).find("running") != std::string::npos) {
            return true;
          }
#endif
          for (const auto& m : LogMessages(service_log)) {
            if (m.rfind("Open file descriptor limit: ", 0) == 0) return true;
          }
          return !service.Running();
        },
        20000))
        << ReadText(service_log);
    ASSERT_TRUE(service.Running()) << ReadText(error_log);
    auto client = OpenSession(two_work);
    EXPECT_TRUE(client);

    // The socket error's own text (two lines: its number, the system's text) first, then
    // which service and port it was.
    const auto errors = LogMessages(error_log);
    ASSERT_EQ(errors.size(), 4u) << ReadText(error_log);
    EXPECT_EQ(errors[0],
              "Unable to load service \"NOPE\" named in MonitorServices: the database repository "
              "under schema main@repo.db holds no service of that name.");
    EXPECT_EQ(errors[1].rfind("The following error encountered while starting Quorvex listener "
                              "thread for service ORCL: ",
                              0),
              0u);
    EXPECT_EQ(errors[3], cannot_listen);
    const std::string err = ReadText(setup.dir().File("err.txt"));
    for (const auto& e : errors) EXPECT_NE(err.find(e), std::string::npos) << err;
    const auto messages = LogMessages(service_log);
    EXPECT_TRUE(Contains(messages, cannot_listen));
#ifndef _WIN32
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max > 256) {
      EXPECT_TRUE(Contains(messages, "Open file descriptor limit: " +
                                         std::to_string(lim.rlim_max) + " (raised from 256)."))
          << ReadText(service_log);
    }
#endif
    const std::string out = ReadText(setup.dir().File("out.txt"));
    EXPECT_EQ(Lines(out), std::vector<std::string>{"qxservice is running with 2 service(s); logs: " +
                                                   setup.dir().Dir() + "qxservice.log, errors: " +
                                                   setup.dir().Dir() + "qxerror.log"})
        << out;
    EXPECT_EQ(out.back(), '\n');
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(20000), 0);
  }

  // No service can listen: the start fails instead of running idle.
  write_ini("ORCL");
  const ProgramOutcome o = RunProgramSplit({setup.dir().File("qxservice")}, 30000);
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.out, "");
  const std::string none =
      "No service could start its listener or capture, so nothing would be monitored: the "
      "start fails.";
  EXPECT_EQ(LogMessages(error_log).back(), none);
  EXPECT_NE(o.err.find("qxservice: " + cannot_listen + "\n"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("qxservice: " + none + "\n"), std::string::npos) << o.err;
  EXPECT_EQ(SqliteRows(setup.dir().File("repo.db"), "select * from qx_service_status").size(),
            0u);
}

}  // namespace
}  // namespace qx::test
