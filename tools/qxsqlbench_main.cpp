// qxsqlbench: how fast the SQLite repository records executions. Creates a fresh repository
// file, then inserts history rows the way the service does (a new Statement per row, every
// bind set, one Execute) and prints the rate. Usage: qxsqlbench [ROWS] [FILE]
// (default 20000 rows into qxsqlbench.db in the current directory; the file is replaced).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "platform/datetime.h"
#include "repository/repository.h"
#include "repository/session_factory.h"

using namespace qx::repository;

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 20000;
  const std::string file = argc > 2 ? argv[2] : "qxsqlbench.db";
  if (rows <= 0) {
    std::fprintf(stderr, "usage: qxsqlbench [ROWS] [FILE]\n");
    return 2;
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
  try {
    auto session = CreateSession(ParseConnectString("sqlite:" + file, "."), true);
    session->Connect();
    session->NewStatement(SqlId::kAdminCreateSchema)->Execute();

    const double when = qx::platform::NowDateTime();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < rows; ++i) {
      auto st = session->NewStatement(SqlId::kInsertSqlHistory);
      st->SetNumber("sql_id", static_cast<double>(i % 500 + 1));
      st->SetNumber("srvc_id", 1);
      st->SetDateTime("exec_date", when);
      st->SetNumber("exec_time", 0.25 * static_cast<double>(i % 40));
      st->SetNumber("session_id", static_cast<double>(i % 64));
      st->SetString("host", "CLIENT-HOST");
      st->SetString("ip", "127.0.0.1");
      st->SetString("orauser", "SCOTT");
      st->SetString("service_name", "ORCL");
      st->SetString("sid", "");
      st->SetString("program", "sqlplus.exe");
      st->SetString("username", "scott");
      st->Execute();
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    auto count = session->NewFreeQuery("select count(*) from qx_client_sql_history");
    count->Open();
    if (count->FirstAsInteger() != rows) {
      std::fprintf(stderr, "qxsqlbench: %d rows stored, %ld expected\n", count->FirstAsInteger(),
                   rows);
      return 1;
    }
    std::printf("%ld history rows in %.3f s: %.0f rows/s (%.1f us/row)\n", rows, secs,
                static_cast<double>(rows) / secs, secs * 1e6 / static_cast<double>(rows));
    session->Disconnect();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qxsqlbench: %s\n", e.what());
    return 1;
  }
  return 0;
}
