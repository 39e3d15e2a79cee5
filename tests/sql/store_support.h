// Helpers for tests that store statements and executions in a fixture's SQLite repository:
// services and records made the way the service makes them, and the repository's rows read
// back as text.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/thread_data.h"
#include "service/service_data.h"
#include "support/service_fixture.h"

namespace qx::test {

using Row = std::vector<std::string>;

// Every row of a query run directly on the fixture's repository file; NULL reads as "<null>".
inline std::vector<Row> Rows(ServiceFixture& f, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(f.dir.File("repo.db").c_str(), &db);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* st = nullptr;
  std::vector<Row> out;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    std::string message = sqlite3_errmsg(db);
    sqlite3_close(db);
    throw std::runtime_error(message + " in " + sql);
  }
  while (sqlite3_step(st) == SQLITE_ROW) {
    Row row;
    for (int c = 0; c < sqlite3_column_count(st); ++c) {
      const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
      row.push_back(p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(st, c)))
                      : std::string("<null>"));
    }
    out.push_back(std::move(row));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// A monitored service as the catalogue loads it (no listeners), owned by the service object.
inline service::TServiceData& AddServiceRecord(ServiceFixture& f, double id,
                                               const std::string& name) {
  auto s = std::make_unique<service::TServiceData>();
  s->id = id;
  s->name = name;
  f.svc.services.push_back(std::move(s));
  return *f.svc.services.back();
}

// An established, monitored connection of `service` with a trace and an empty history queue.
inline std::unique_ptr<capture::TThreadData> NewRecord(service::TServiceData* service,
                                                       int32_t connectionNo,
                                                       double sessionId = 0) {
  auto r = std::make_unique<capture::TThreadData>();
  r->connectionNo = connectionNo;
  r->traceLines = std::make_unique<std::vector<std::string>>();
  r->historyQueue = std::make_unique<std::vector<sql::TSQLHistData>>();
  r->service = service;
  r->established = true;
  r->sessionId = sessionId;
  return r;
}

}  // namespace qx::test
