// qxsqlbench: how fast the SQLite repository records executions. Creates a fresh repository
// file, then inserts history rows over and over and prints each rate: one Execute per row (a
// new Statement each, every bind set), in groups through ExecuteRows, and last through the
// history writer itself (its thread, its groups, its spool marks), handed connections' batches
// of 100 rows in which one row in twenty brings a statement the catalogue does not have yet,
// on a fresh file: the executions per second the writer sustains. In the service the writer
// runs at a lowered priority, so on a busy machine its wall time stretches; its processor time
// per row is what it can absorb. Usage: qxsqlbench [ROWS] [FILE] [writer] (default 20000
// rows each into qxsqlbench.db in the current directory; the file is replaced; "writer":
// the history writer alone).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "repository/repository.h"
#include "repository/session_factory.h"
#include "service/service.h"
#include "sql/history_writer.h"
#include "sql/spool.h"
#include "sql/sql_hash.h"

using namespace qx::repository;

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 20000;
  const std::string file = argc > 2 ? argv[2] : "qxsqlbench.db";
  // "writer": only the history writer (to profile it alone).
  const bool writer_only = argc > 3 && std::string(argv[3]) == "writer";
  if (rows <= 0 || (argc > 3 && !writer_only)) {
    std::fprintf(stderr, "usage: qxsqlbench [ROWS] [FILE] [writer]\n");
    return 2;
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
  try {
    const double when = qx::platform::NowDateTime();
    std::clock_t cpu_start = 0;
    auto start = std::chrono::steady_clock::now();
    // Wall time, and the process's processor time (on a shared machine the wall
    // time also holds other programs' turns).
    auto report = [&](const char* how) {
      const double secs =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
      std::printf(
          "%ld history rows %s in %.3f s: %.0f rows/s (%.1f us/row, "
          "%.1f us/row of "
          "processor time: %.0f rows per processor second)\n",
          rows, how, secs, static_cast<double>(rows) / secs, secs * 1e6 / static_cast<double>(rows),
          cpu * 1e6 / static_cast<double>(rows), static_cast<double>(rows) / cpu);
    };
    if (!writer_only) {
      auto session = CreateSession(ParseConnectString("sqlite:" + file, "."), true);
      session->Connect();
      session->NewStatement(SqlId::kAdminCreateSchema)->Execute();

      auto set_row = [when](Statement& st, long i) {
        st.SetNumber("sql_id", static_cast<double>(i % 500 + 1));
        st.SetNumber("srvc_id", 1);
        st.SetDateTime("exec_date", when);
        st.SetNumber("exec_time", 0.25 * static_cast<double>(i % 40));
        st.SetNumber("session_id", static_cast<double>(i % 64));
        st.SetString("host", "CLIENT-HOST");
        st.SetString("ip", "127.0.0.1");
        st.SetString("orauser", "SCOTT");
        st.SetString("service_name", "ORCL");
        st.SetString("sid", "");
        st.SetString("program", "sqlplus.exe");
        st.SetString("username", "scott");
      };
      cpu_start = std::clock();
      start = std::chrono::steady_clock::now();
      for (long i = 0; i < rows; ++i) {
        auto st = session->NewStatement(SqlId::kInsertSqlHistory);
        set_row(*st, i);
        st->Execute();
      }
      report("one by one");

      long failed = 0;
      // Groups of `group` rows; `spooled`: the history writer's statement with
      // the spool mark, one connection's stream per 100 rows.
      auto grouped = [&](long group, bool spooled) {
        cpu_start = std::clock();
        start = std::chrono::steady_clock::now();
        for (long from = 0; from < rows; from += group) {
          auto st = session->NewStatement(spooled ? SqlId::kInsertSqlHistorySpooled
                                                  : SqlId::kInsertSqlHistory);
          const long n = std::min(group, rows - from);
          st->ExecuteRows(
              static_cast<size_t>(n),
              [&](size_t i) {
                const long row = from + static_cast<long>(i);
                set_row(*st, row);
                if (spooled) {
                  st->SetString("instance", "bench#" + std::to_string(row / 100));
                  st->SetNumber("spool_seq", static_cast<double>(row % 100 + 1));
                }
              },
              [&](size_t, const std::exception& e) {
                if (failed++ == 0) std::fprintf(stderr, "qxsqlbench: %s\n", e.what());
              });
        }
      };
      grouped(100, false);
      report("in groups of 100");
      session->NewStatement(SqlId::kEnsureSpoolMark)->Execute();
      grouped(4096, true);
      report("in groups of 4096 with spool marks");

      auto count = session->NewFreeQuery("select count(*) from qx_client_sql_history");
      count->Open();
      if (failed != 0 || count->FirstAsInteger() != 3 * rows) {
        std::fprintf(stderr, "qxsqlbench: %d rows stored, %ld expected\n", count->FirstAsInteger(),
                     3 * rows);
        return 1;
      }
      session->Disconnect();
    }

    // The history writer as the service runs it, on a fresh file of its own
    // (FILE.writer).
    const std::string writer_file = file + ".writer";
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((writer_file + suffix).c_str());
    std::string error;
    qx::service::TQuorvexService svc;
    // What the writer reports (a row refused, an outage) goes to FILE.log.
    svc.serviceLog.Create(file + ".log", &error);
    svc.errorLog.Create(file + ".log", &error);
    svc.session = CreateSession(ParseConnectString("sqlite:" + writer_file, "."), true);
    svc.session->Connect();
    svc.session->NewStatement(SqlId::kAdminCreateSchema)->Execute();
    svc.sqlCache = std::make_unique<qx::sql::TSQLCache>(500);
    const std::string spool_dir = file + ".spool";
    std::filesystem::remove_all(spool_dir);
    auto spool = qx::sql::Spool::Open(
        spool_dir, 1024u << 20, [](const std::string&) {}, &error);
    if (!spool) throw std::runtime_error(error);
    std::vector<std::vector<qx::sql::HistoryRow>> batches;
    for (long from = 0; from < rows; from += 100) {
      std::vector<qx::sql::HistoryRow>& batch = batches.emplace_back();
      for (long row = from; row < std::min(rows, from + 100); ++row) {
        qx::sql::HistoryRow& r = batch.emplace_back();
        if (row % 20 == 19) {
          r.sql_text = "SELECT * FROM ORDERS WHERE ID = " + std::to_string(row);
          r.sql_hash = qx::sql::GetSQLHash(r.sql_text);
        } else {
          r.sql_id = static_cast<double>(row % 500 + 1);
        }
        r.srvc_id = 1;
        r.exec_date = when + static_cast<double>(row) / 86400e3;
        r.exec_time = 0.25 * static_cast<double>(row % 40);
        r.session_id = static_cast<double>(from / 100 + 1);
        r.stream_key = static_cast<uint64_t>(from / 100 + 1);
        r.stream_seq = static_cast<uint64_t>(row - from + 1);
        r.host = "CLIENT-HOST";
        r.ip = "127.0.0.1";
        r.orauser = "SCOTT";
        r.service_name = "ORCL";
        r.program = "sqlplus.exe";
        r.username = "scott";
      }
    }
    {
      qx::sql::HistoryWriter writer(svc, std::move(spool), "qxsqlbench:" + spool_dir);
      cpu_start = std::clock();
      start = std::chrono::steady_clock::now();
      for (auto& batch : batches) writer.Enqueue(std::move(batch));
      writer.Drain();
      report("through the history writer (its groups, marks and new statements)");
    }
    auto written = svc.session->NewFreeQuery("select count(*) from qx_client_sql_history");
    written->Open();
    if (written->FirstAsInteger() != rows) {
      std::fprintf(stderr, "qxsqlbench: the writer stored %d rows, %ld expected\n",
                   written->FirstAsInteger(), rows);
      return 1;
    }
    svc.session->Disconnect();
    std::filesystem::remove_all(spool_dir);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((writer_file + suffix).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qxsqlbench: %s\n", e.what());
    return 1;
  }
  return 0;
}
