// The start-up log of a service with two active services and one passive service on loopback,
// line by line, through the real executable.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "support/running_service.h"
#include "support/test_util.h"

namespace qx::test {
namespace {

TEST(StartupLog, TwoActiveServicesAndOnePassiveOnLoopback) {
  if (geteuid() != 0) GTEST_SKIP() << "capturing on lo needs root";
  TempDir dir;
  CopyFileTo(BinaryPath("qxservice"), dir.File("qxservice"));
  CopyFileTo(BinaryPath("qxadmin"), dir.File("qxadmin"));
  std::string out;
  ASSERT_EQ(RunProgram({dir.File("qxadmin"), "init", "sqlite:repo.db"}, &out), 0) << out;
  const int ports[] = {FreePort(), FreePort(), FreePort(), FreePort(), FreePort()};
  auto add = [&](std::vector<std::string> args) {
    std::vector<std::string> argv = {dir.File("qxadmin"), "-r", "sqlite:repo.db", "service", "add"};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_EQ(RunProgram(argv, &out), 0) << out;
  };
  add({"--name", "ALPHA", "--oracle-host", "127.0.0.1", "--oracle-port", "1521", "--work-port",
       std::to_string(ports[0]), "--manage-port", std::to_string(ports[1])});
  add({"--name", "BETA", "--oracle-host", "localhost", "--oracle-port", "1522", "--work-port",
       std::to_string(ports[2]), "--manage-port", std::to_string(ports[3])});
  add({"--name", "WIRE", "--oracle-host", "127.0.0.1", "--oracle-port", "1523", "--work-port", "0",
       "--manage-port", std::to_string(ports[4]), "--ip-interface", "127.0.0.1"});
  WriteText(dir.File("qxservice.ini"),
            "[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=alpha, beta, wire\n");

  Child service({dir.File("qxservice")});
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto log = LogMessages(dir.File("qxservice.log"));
        for (const auto& l : log) {
          if (l.rfind("Quorvex managing listener for service ALPHA", 0) == 0) return true;
        }
        return false;
      },
      20000));
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20000), 0);

  const auto p = [&](int i) { return std::to_string(ports[i]); };
  std::vector<std::string> log = LogMessages(dir.File("qxservice.log"));
  // The interface list depends on the machine: keep its first and last lines only.
  std::vector<std::string> filtered;
  for (const auto& l : log) {
    if (l.rfind("Interface: ", 0) == 0 && l != "Interface: 127.0.0.1") continue;
    filtered.push_back(l);
  }
  const std::vector<std::string> expected = {
      "Successfully connected to the Quorvex database repository.",
      "Dead connection timeout is 1440 seconds.",
      "SQL history cache size 100 records.",
      "SQL cache size 500 records.",
      "Available Interface List",
      "Interface: 127.0.0.1",
      "Service successfully started.",
      "Loaded services to monitor: 3",
      "------------------------------------- ",
      "Loaded service: ALPHA",
      "Monitoring Mode: ACTIVE",
      "Database host: 127.0.0.1",
      "Listen port: " + p(0),
      "Oracle port: 1521",
      "Managing port: " + p(1),
      "------------------------------------- ",
      "Loaded service: BETA",
      "Monitoring Mode: ACTIVE",
      "Database host: localhost",
      "Listen port: " + p(2),
      "Oracle port: 1522",
      "Managing port: " + p(3),
      "------------------------------------- ",
      "Loaded service: WIRE",
      "Monitoring Mode: PASSIVE",
      "Database host: 127.0.0.1",
      "Monitoring IP Interface: 127.0.0.1",
      "Oracle port: 1523",
      "Managing port: " + p(4),
      // Listeners start from the last service to the first.
      "Created listening thread for ip interface 127.0.0.1 for service WIRE",
      "Quorvex listener for service WIRE has been successfully started on ip interface 127.0.0.1",
      "Quorvex managing listener for service WIRE has been successfully started on port " + p(4),
      "Quorvex listener for service BETA has been successfully started on port " + p(2) +
          " Monitoring clients connecting to localhost:1522",
      "Quorvex managing listener for service BETA has been successfully started on port " + p(3),
      "Quorvex listener for service ALPHA has been successfully started on port " + p(0) +
          " Monitoring clients connecting to 127.0.0.1:1521",
      "Quorvex managing listener for service ALPHA has been successfully started on port " + p(1),
  };
  ASSERT_GE(filtered.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(filtered[i], expected[i]) << "line " << i;
  EXPECT_EQ(filtered.back(), "Service successfully shutdown.");
  EXPECT_EQ(ReadText(dir.File("qxerror.log")), "");
}

}  // namespace
}  // namespace qx::test
