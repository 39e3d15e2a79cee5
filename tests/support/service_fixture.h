// A service object on a fresh SQLite repository in a temporary program directory, for tests
// that drive the service's subsystems directly (no executable, no service thread).
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "repository/session_factory.h"
#include "service/service.h"
#include "support/test_util.h"

namespace qx::test {

class ServiceFixture {
 public:
  ServiceFixture() {
    svc.ServiceCreate();
    svc.programDirectory = dir.path() + "/";
    std::string error;
    svc.serviceLog.Create(dir.File("qxservice.log"), &error);
    svc.errorLog.Create(dir.File("qxerror.log"), &error);
    repository::ConnectTarget target =
        repository::ParseConnectString("sqlite:repo.db", svc.programDirectory);
    svc.session = repository::CreateSession(target, true);
    svc.session->Connect();
    svc.session->NewStatement(repository::SqlId::kAdminCreateSchema)->Execute();
    svc.sqlCache = std::make_unique<sql::TSQLCache>(svc.sqlCacheCount);
  }
  ~ServiceFixture() {
    svc.services.clear();
    svc.session->Disconnect();
  }

  // Runs SQL directly on the repository file (test set-up only).
  void Exec(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(dir.File("repo.db").c_str(), &db);
    sqlite3_busy_timeout(db, 5000);
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    std::string message = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error(message + " in " + sql);
  }
  // One value of a query run directly on the file.
  std::string Scalar(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(dir.File("repo.db").c_str(), &db);
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0)) {
      out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }
  void AddService(int id, const std::string& name, int work_port, int manage_port,
                  const std::string& ip = "", const std::string& host = "127.0.0.1",
                  int oracle_port = 1521) {
    Exec("insert into QX_SERVICE_LIST (id, name, oracle_host, oracle_port, work_port, "
         "manage_port, ipinterface) values (" + std::to_string(id) + ", '" + name + "', '" +
         host + "', " + std::to_string(oracle_port) + ", " + std::to_string(work_port) + ", " +
         std::to_string(manage_port) + ", '" + ip + "')");
  }
  std::vector<std::string> ServiceLog() { return LogMessages(dir.File("qxservice.log")); }
  std::vector<std::string> ErrorLog() { return LogMessages(dir.File("qxerror.log")); }

  TempDir dir;
  service::TQuorvexService svc;
};

}  // namespace qx::test
