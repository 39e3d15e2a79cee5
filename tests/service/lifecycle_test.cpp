// Start-up and teardown of the real executable in a temporary program directory.
#include <gtest/gtest.h>

#include <signal.h>

#include "support/test_util.h"

namespace qx::test {
namespace {

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    CopyFileTo(BinaryPath("qxservice"), dir_.File("qxservice"));
    CopyFileTo(BinaryPath("qxadmin"), dir_.File("qxadmin"));
  }
  // Runs the service until it ends by itself (a failed start) and returns its exit code.
  int RunToFailure() {
    std::string out;
    return RunProgram({dir_.File("qxservice")}, &out, 30000);
  }
  std::vector<std::string> ServiceLog() { return LogMessages(dir_.File("qxservice.log")); }
  std::vector<std::string> ErrorLog() { return LogMessages(dir_.File("qxerror.log")); }
  void WriteIni(const std::string& body) { WriteText(dir_.File("qxservice.ini"), body); }
  void InitRepository() {
    std::string out;
    ASSERT_EQ(RunProgram({dir_.File("qxadmin"), "init", "sqlite:repo.db"}, &out), 0) << out;
  }

  TempDir dir_;
};

TEST_F(Lifecycle, MissingIniFileFailsTheStart) {
  EXPECT_NE(RunToFailure(), 0);
  ASSERT_TRUE(Exists(dir_.File("qxerror.log")));
  const auto errors = Lines(ReadText(dir_.File("qxerror.log")));
  ASSERT_EQ(errors.size(), 1u);
  const std::string expected = "Cannot find service initialization file " + dir_.File("qxservice.ini");
  EXPECT_EQ(errors[0].substr(errors[0].size() - expected.size()), expected);
  EXPECT_EQ(ServiceLog(), std::vector<std::string>{"Service successfully shutdown."});
}

TEST_F(Lifecycle, EachStartFailureIsReportedInItsLogs) {
  // Empty connect string: error log only.
  WriteIni("[Service]\nrpstConnStr=\n");
  EXPECT_NE(RunToFailure(), 0);
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{"Invalid repository connect string."});
  EXPECT_EQ(ServiceLog(), std::vector<std::string>{"Service successfully shutdown."});

  // The repository cannot be opened: both logs.
  WriteIni("[Service]\nrpstConnStr=sqlite:/nonexistent/dir/repo.db\n");
  EXPECT_NE(RunToFailure(), 0);
  ASSERT_EQ(ErrorLog().size(), 1u);
  EXPECT_EQ(ErrorLog()[0].rfind("Database repository connection error: ", 0), 0u);
  EXPECT_EQ(ServiceLog().front(), ErrorLog()[0]);

  // Connected, but no schema: error log only.
  WriteText(dir_.File("empty.db"), "");
  WriteIni("[Service]\nrpstConnStr=sqlite:empty.db\n");
  EXPECT_NE(RunToFailure(), 0);
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{"Repository is not installed under schema main"});
  EXPECT_EQ(ServiceLog().front(), "Successfully connected to the Quorvex database repository.");

  // Schema present, nothing to monitor.
  InitRepository();
  WriteIni("[Service]\nrpstConnStr=sqlite:repo.db\nDeadConnectionTimeout=0x3C\nsqlHistCacheCount=ten\n");
  EXPECT_NE(RunToFailure(), 0);
  EXPECT_EQ(ErrorLog(),
            std::vector<std::string>{"Unable to find any services to monitor in the repository."});
  const std::vector<std::string> expected_service_log = {
      "Successfully connected to the Quorvex database repository.",
      "Dead connection timeout is 60 seconds.",
      "SQL history cache size 100 records.",
      "SQL cache size 500 records.",
      "Service successfully shutdown."};
  EXPECT_EQ(ServiceLog(), expected_service_log);

  // Named services absent from the repository: both logs, names exactly as configured.
  WriteIni("[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices= orcl , Prod\n");
  EXPECT_NE(RunToFailure(), 0);
  const std::string msg =
      "Unable to load any services to monitor from the database repository. Please ensure that "
      "Quorvex database repository under schema main@repo.db contains configuration for the "
      "following services: orcl , Prod";
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{msg});
  EXPECT_EQ(ServiceLog()[ServiceLog().size() - 2], msg);
}

TEST_F(Lifecycle, ConnectStringOfNeitherFormGoesToTheSystemLog) {
  WriteIni("[Service]\nrpstConnStr=nonsense\n");
  EXPECT_NE(RunToFailure(), 0);
  EXPECT_TRUE(ErrorLog().empty());
  EXPECT_EQ(ServiceLog(), std::vector<std::string>{"Service successfully shutdown."});
}

TEST_F(Lifecycle, InstallAndUninstallWriteTheUnitWithoutTouchingTheLogs) {
  TempDir units;
  const std::vector<std::string> env = {"QX_SYSTEMD_UNIT_DIR=" + units.path()};
  std::string out;
  EXPECT_EQ(RunProgram({dir_.File("qxservice"), "/install"}, &out, 10000, env), 0);
  EXPECT_EQ(out, "Service installed successfully\n");
  const std::string unit = ReadText(units.File("quorvexservice.service"));
  EXPECT_NE(unit.find("ExecStart=\"" + dir_.File("qxservice") + "\""), std::string::npos);
  EXPECT_FALSE(Exists(dir_.File("qxservice.log")));
  EXPECT_FALSE(Exists(dir_.File("qxerror.log")));

  EXPECT_EQ(RunProgram({dir_.File("qxservice"), "-UNINSTALL", "/Silent"}, &out, 10000, env), 0);
  EXPECT_EQ(out, "");
  EXPECT_FALSE(Exists(units.File("quorvexservice.service")));
  EXPECT_NE(RunProgram({dir_.File("qxservice"), "-uninstall"}, &out, 10000, env), 0);
  EXPECT_NE(out.find("Service \"QuorvexService\" failed to uninstall with error: \""),
            std::string::npos);
}

TEST_F(Lifecycle, RestartEmptiesBothLogs) {
  WriteIni("[Service]\nrpstConnStr=\n");
  RunToFailure();
  RunToFailure();
  EXPECT_EQ(ErrorLog().size(), 1u);
  EXPECT_EQ(ServiceLog().size(), 1u);
}

}  // namespace
}  // namespace qx::test
