// The real qxservice while its repository fails: sessions keep being relayed byte-identical
// while another process holds an exclusive lock and while the files cannot be written, every
// execution reaches the repository afterwards (each once), the outage is logged once at each
// end and the managing port keeps answering; after kill -9 the next start writes what the
// spool held, each row once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/qxpeer_runner.h"
#include "support/running_service.h"
#include "support/test_util.h"

namespace qx::test {
namespace {

using qx::testing::FreePort;
using qx::testing::PeerOutcome;
using qx::testing::PeerProcess;

size_t Count(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.rfind(prefix, 0) == 0;
  }));
}

class Resilience : public ::testing::Test {
 protected:
  void SetUp() override {
    CopyFileTo(BinaryPath("qxservice"), dir_.File("qxservice"));
    CopyFileTo(BinaryPath("qxadmin"), dir_.File("qxadmin"));
    oracle_ = FreePort();
    do work_ = FreePort(); while (work_ == oracle_);
    do manage_ = FreePort(); while (manage_ == oracle_ || manage_ == work_);
    Admin({"init", "sqlite:repo.db"});
    Admin({"-r", "sqlite:repo.db", "service", "add", "--name", "ORCL", "--oracle-host",
           "127.0.0.1", "--oracle-port", std::to_string(oracle_), "--work-port",
           std::to_string(work_), "--manage-port", std::to_string(manage_)});
    WriteText(dir_.File("qxservice.ini"),
              "[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=ORCL\nsqlHistCacheCount=5\n");
  }
  void Admin(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {dir_.File("qxadmin")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    ASSERT_EQ(RunProgram(argv, &out), 0) << out;
  }
  void Start() {
    service_ = std::make_unique<Child>(std::vector<std::string>{dir_.File("qxservice")},
                                       dir_.File("stdout.txt"));
    ASSERT_TRUE(WaitUntil([&] { return Count(ServiceLog(), "Service successfully started.") == 1; },
                          20000))
        << ReadText(dir_.File("qxservice.log"));
  }
  std::string PeerArgs() const {
    return "--relay 127.0.0.1:" + std::to_string(work_) + " --listen 127.0.0.1:" +
           std::to_string(oracle_);
  }
  std::vector<std::string> ServiceLog() { return LogMessages(dir_.File("qxservice.log")); }
  size_t Scalar(const std::string& sql) {
    const auto rows = SqliteRows(dir_.File("repo.db"), sql);
    return rows.empty() || rows[0].empty() ? 0 : std::stoul(rows[0][0]);
  }
  // The generated statements' executions (a session also stores its logon's artefact).
  size_t HistoryCount() {
    return Scalar("select count(*) from qx_client_sql_history h join qx_client_sql s on s.id = "
                  "h.sql_id where s.sqltext like 'SELECT % FROM DUAL'");
  }
  // Executions stored twice, and sessions whose stored statements leave a gap (each session
  // runs SELECT 1 .. SELECT n FROM DUAL in order).
  size_t Duplicates() {
    return Scalar("select count(*) from (select session_id, sql_id from qx_client_sql_history "
                  "group by session_id, sql_id having count(*) > 1)");
  }
  size_t SessionsWithGaps() {
    return Scalar(
        "select count(*) from (select h.session_id, count(*) n, max(cast(substr(s.sqltext, 8, "
        "instr(s.sqltext, ' FROM') - 8) as integer)) top from qx_client_sql_history h join "
        "qx_client_sql s on s.id = h.sql_id where s.sqltext like 'SELECT % FROM DUAL' group by "
        "h.session_id) where n <> top");
  }
  // The longest a getTotConn answer took while `busy` runs, in ms.
  template <typename Fn>
  long WorstStatusAnswerWhile(Fn busy) {
    std::atomic<bool> done{false};
    std::atomic<long> worst{0};
    std::thread poller([&] {
      TcpClient client(manage_);
      while (!done) {
        const auto t0 = std::chrono::steady_clock::now();
        const std::string answer = client.Ask("getTotConn", 20000);
        const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - t0)
                                              .count());
        if (answer.empty()) worst = 99999;
        worst = std::max(worst.load(), ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    busy();
    done = true;
    poller.join();
    return worst;
  }

  TempDir dir_;
  uint16_t oracle_ = 0, work_ = 0, manage_ = 0;
  std::unique_ptr<Child> service_;
};

constexpr int kSessions = 24, kStatements = 20;

TEST_F(Resilience, SessionsOutliveALockedAndAnUnwritableRepositoryAndEveryRowArrivesOnce) {
  Start();
  const std::string load = "generate --sessions " + std::to_string(kSessions) +
                           " --statements " + std::to_string(kStatements) +
                           " --concurrency 6 --think-ms 40 --timeout 60 " + PeerArgs();
  // 1. Another process's exclusive lock for 5 s.
  const long worst_locked = WorstStatusAnswerWhile([&] {
    PeerProcess peer(load);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.File("repo.db").c_str(), &db), SQLITE_OK);
    // The service's writer may be in the middle of a group: the lock is taken once it is done.
    sqlite3_busy_timeout(db, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const PeerOutcome o = peer.Wait(90000);
    EXPECT_EQ(o.status, 0) << o.output;
  });
  ASSERT_TRUE(WaitUntil([&] { return HistoryCount() == size_t(kSessions * kStatements); }, 60000))
      << HistoryCount();
  // 2. The files cannot be written for 5 s.
  const bool root = geteuid() == 0;
  const long worst_unwritable = WorstStatusAnswerWhile([&] {
    PeerProcess peer(load);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The -shm file is left alone: SQLite maps it, and an immutable mapping ends the process
    // with SIGBUS when SQLite grows it (a test artefact, not what a full disk does).
    const std::string files = dir_.File("repo.db") + " " + dir_.File("repo.db-wal");
    if (root) {
      ASSERT_EQ(std::system(("chattr +i " + files + " 2>/dev/null").c_str()), 0);
    } else {
      chmod(dir_.File("repo.db").c_str(), 0444);
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));
    if (root) std::system(("chattr -i " + files + " 2>/dev/null").c_str());
    chmod(dir_.File("repo.db").c_str(), 0644);
    const PeerOutcome o = peer.Wait(90000);
    EXPECT_EQ(o.status, 0) << o.output.substr(0, 300);
  });
  ASSERT_TRUE(
      WaitUntil([&] { return HistoryCount() == size_t(2 * kSessions * kStatements); }, 60000))
      << HistoryCount() << "\n" << ReadText(dir_.File("qxservice.log"))
      << ReadText(dir_.File("stdout.txt"));
  EXPECT_EQ(Duplicates(), 0u);
  EXPECT_EQ(SessionsWithGaps(), 0u);
  const auto log = ServiceLog();
  // The 5 s lock is shorter than the repository's busy timeout, so the writer only waits;
  // the unwritable files are one outage, logged when it begins and when its rows are in.
  EXPECT_EQ(Count(log, "The repository cannot be written from "), 1u)
      << ReadText(dir_.File("qxservice.log"));
  // The outage's end is logged once its last row is in, just after the rows can be seen.
  EXPECT_TRUE(WaitUntil(
      [&] { return Count(ServiceLog(), "The repository could not be written from ") == 1; },
      10000))
      << ReadText(dir_.File("qxservice.log"));
  EXPECT_EQ(Count(log, "Insert SQL History exception"), 0u);
  // The status answers never waited for the repository (the lock alone holds a repository
  // call for 10 s): a bound far above a normal answer, far below a blocked one.
  EXPECT_LT(worst_locked, 2000);
  EXPECT_LT(worst_unwritable, 2000);
  service_->Signal(SIGTERM);
  EXPECT_EQ(service_->Wait(60000), 0);
  EXPECT_EQ(Scalar("select count(*) from pragma_integrity_check where integrity_check = 'ok'"),
            1u);
}

TEST_F(Resilience, AfterKillNineTheNextStartWritesWhatTheSpoolHeldOnce) {
  // Rows reach the repository only at sessions' ends, so at the kill most completed
  // executions exist in the spool alone.
  WriteText(dir_.File("qxservice.ini"),
            "[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=ORCL\nsqlHistCacheCount=1000\n");
  Start();
  PeerProcess peer("generate --sessions 40 --statements 200 --concurrency 20 --think-ms 20 "
                   "--timeout 20 " + PeerArgs());
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  service_->Signal(SIGKILL);
  EXPECT_EQ(service_->Wait(10000), 128 + SIGKILL);
  peer.Wait(60000);
  const size_t before = HistoryCount();
  std::string listing;
  for (const auto& e : std::filesystem::directory_iterator(dir_.File("spool"))) {
    listing += e.path().filename().string() + " " +
               std::to_string(std::filesystem::file_size(e.path())) + "\n";
  }
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Count(ServiceLog(), "The spool holds ") == 1; }, 10000))
      << before << " rows before; spool:\n" << listing << ReadText(dir_.File("qxservice.log"));
  service_->Signal(SIGTERM);
  EXPECT_EQ(service_->Wait(60000), 0);
  const size_t after = HistoryCount();
  EXPECT_GT(after, before);
  // Every session's executions up to its last completed one are there, none twice.
  EXPECT_EQ(Duplicates(), 0u);
  EXPECT_EQ(SessionsWithGaps(), 0u);
  EXPECT_GE(Scalar("select count(distinct session_id) from qx_client_sql_history"), 20u);
  EXPECT_EQ(Scalar("select count(*) from pragma_integrity_check where integrity_check = 'ok'"),
            1u);
  // Released once written: the spool keeps no segment with rows.
  size_t spool_bytes = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.File("spool"))) {
    spool_bytes += std::filesystem::file_size(e.path());
  }
  EXPECT_EQ(spool_bytes, 0u);
}

}  // namespace
}  // namespace qx::test
