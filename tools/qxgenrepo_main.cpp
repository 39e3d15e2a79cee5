// qxgenrepo: makes a SQLite repository full of made-up executions, for the report benchmark
// and for trying reports by hand.
//
//   qxgenrepo FILE [--rows N] [--statements M] [--days D] [--seed S]
//
// FILE must not exist. It gets the schema (as qxadmin init makes it), two monitored services
// (ORCL, SALES), M statements made from a dozen shapes with different literals (so that they
// group into fingerprints) and N history rows spread evenly over the D days before now, oldest
// first. Statements are picked with a skew (low ids run far more often), times spread from
// 0.1 ms to about 3 s, one execution in a hundred fails. The same seed gives the same rows.
// Rows go in through one prepared insert, 200,000 rows per transaction, indexes built after.
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "admin/admin.h"
#include "platform/datetime.h"
#include "repository/schema.h"
#include "sql/fingerprint.h"

namespace {

void Exec(sqlite3* db, const std::string& sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
    const std::string text = msg ? msg : "unknown error";
    sqlite3_free(msg);
    throw std::runtime_error(text + " in: " + sql.substr(0, 200));
  }
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db));
  }
  return st;
}

void Step(sqlite3* db, sqlite3_stmt* st) {
  if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
  sqlite3_reset(st);
}

const char* const kShapes[] = {
    "select * from orders where order_id = %ld",
    "select name, price from products where product_id = %ld and active = 'Y'",
    "update accounts set balance = balance - 10 where account_id = %ld",
    "insert into audit_log (id, action) values (%ld, 'LOGIN')",
    "select count(*) from order_lines where order_id = %ld",
    "delete from sessions where session_id = %ld",
    "select c.name, o.total from customers c join orders o on o.customer_id = c.id where c.id = %ld",
    "select * from stock where warehouse_id = %ld order by item_id",
    "update orders set status = 'SHIPPED' where order_id = %ld",
    "select sum(amount) from payments where customer_id = %ld and paid_on > sysdate - 30",
    "select * from emp where deptno = %ld",
    "merge into daily_totals t using (select %ld as id from dual) s on (t.id = s.id) when matched then update set t.n = t.n + 1",
};
const char* const kUsers[] = {"SCOTT", "HR", "APP", "BATCH", "REPORTS", "ALICE", "BOB", "SYSTEM"};
const char* const kPrograms[] = {"JDBC Thin Client", "sqlplus@db1", "python3", "node", "toad.exe"};
const char* const kOsUsers[] = {"app", "oracle", "alice", "bob", "batch"};
const char* const kServices[] = {"ORCLPDB1", "SALES", "HRPROD"};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') {
    std::cerr << "Usage: qxgenrepo FILE [--rows N] [--statements M] [--days D] [--seed S]\n";
    return 2;
  }
  const std::string file = argv[1];
  long rows = 1000000, statements = 50000, days = 30;
  unsigned long seed = 1;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    const long v = std::stol(argv[i + 1]);
    if (opt == "--rows") rows = v;
    else if (opt == "--statements") statements = v;
    else if (opt == "--days") days = v;
    else if (opt == "--seed") seed = static_cast<unsigned long>(v);
    else {
      std::cerr << "qxgenrepo: unknown option " << opt << "\n";
      return 2;
    }
  }
  if (rows < 0 || statements < 1 || days < 1) {
    std::cerr << "qxgenrepo: --rows must be >= 0, --statements and --days >= 1\n";
    return 2;
  }
  if (FILE* existing = std::fopen(file.c_str(), "r")) {
    std::fclose(existing);
    std::cerr << "qxgenrepo: " << file << " exists\n";
    return 1;
  }
  const auto started = std::chrono::steady_clock::now();
  std::ostringstream out, err;
  if (qx::admin::RunAdmin({"init", "sqlite:" + file}, ".", out, err) != 0) {
    std::cerr << out.str() << err.str();
    return 1;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
    std::cerr << "qxgenrepo: cannot open " << file << "\n";
    return 1;
  }
  try {
    Exec(db, "PRAGMA synchronous=OFF");
    // Indexes are built once the rows are in: far faster than keeping them up to date.
    std::vector<std::string> index_ddl;
    {
      sqlite3_stmt* st = Prepare(db, "select name, sql from sqlite_master where type = 'index' and sql is not null");
      std::vector<std::string> names;
      while (sqlite3_step(st) == SQLITE_ROW) {
        names.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        index_ddl.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
      }
      sqlite3_finalize(st);
      for (const std::string& name : names) Exec(db, "drop index " + name);
    }
    Exec(db,
         "insert into QX_SERVICE_LIST (id, name, oracle_host, oracle_port, work_port, manage_port) "
         "values (1, 'ORCL', '127.0.0.1', 1521, 1522, 1523), (2, 'SALES', '127.0.0.1', 1531, 1532, 1533)");
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Exec(db, "BEGIN");
    sqlite3_stmt* ins_sql = Prepare(
        db, "insert into qx_client_sql (id, sqlhash, sqltext, fingerprint_hash, fingerprint) values (?, ?, ?, ?, ?)");
    char text[512];
    for (long id = 1; id <= statements; ++id) {
      const size_t shape = static_cast<size_t>(id) % (sizeof kShapes / sizeof kShapes[0]);
      std::snprintf(text, sizeof text, kShapes[shape], id);
      const std::string fp = qx::sql::Fingerprint(text);
      const std::string fph = qx::sql::FingerprintHash(fp);
      const std::string hash = "gen" + std::to_string(id);
      sqlite3_bind_int64(ins_sql, 1, id);
      sqlite3_bind_text(ins_sql, 2, hash.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(ins_sql, 3, text, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(ins_sql, 4, fph.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(ins_sql, 5, fp.c_str(), -1, SQLITE_TRANSIENT);
      Step(db, ins_sql);
    }
    sqlite3_finalize(ins_sql);
    sqlite3_stmt* ins = Prepare(
        db,
        "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, session_id, "
        "host, ip, orauser, service_name, sid, program, username, rows_processed, error_code) "
        "values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    const double now = qx::platform::NowDateTime();
    const double start = now - static_cast<double>(days);
    const double step = rows ? static_cast<double>(days) / static_cast<double>(rows) : 0;
    std::string last_date;
    double last_date_value = -1;
    for (long k = 0; k < rows; ++k) {
      const double when = start + step * static_cast<double>(k);
      // Dates as text change once a second: format only then.
      if (std::floor(when * 86400) != last_date_value) {
        last_date_value = std::floor(when * 86400);
        last_date = qx::platform::FormatTimestamp(when);
      }
      const long sql_id = 1 + static_cast<long>(std::pow(u(rng), 3.0) * static_cast<double>(statements));
      const double exec_ms = std::round(0.1 * std::exp(u(rng) * 10.3) * 1000.0) / 1000.0;
      const bool failed = u(rng) < 0.01;
      const int who = static_cast<int>(u(rng) * 1000);
      const int host = who % 10;
      const std::string host_name = "app" + std::to_string(host) + ".example.test";
      const std::string ip = "10.0.0." + std::to_string(10 + host);
      sqlite3_bind_int64(ins, 1, k + 1);
      sqlite3_bind_int64(ins, 2, std::min(sql_id, statements));
      sqlite3_bind_int(ins, 3, who % 4 == 0 ? 2 : 1);
      sqlite3_bind_text(ins, 4, last_date.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_double(ins, 5, exec_ms);
      sqlite3_bind_int64(ins, 6, 1000 + who % 300);
      sqlite3_bind_text(ins, 7, host_name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(ins, 8, ip.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(ins, 9, kUsers[who % 8], -1, SQLITE_STATIC);
      sqlite3_bind_text(ins, 10, kServices[who % 3], -1, SQLITE_STATIC);
      sqlite3_bind_text(ins, 11, "ORCL", -1, SQLITE_STATIC);
      sqlite3_bind_text(ins, 12, kPrograms[who % 5], -1, SQLITE_STATIC);
      sqlite3_bind_text(ins, 13, kOsUsers[who % 5], -1, SQLITE_STATIC);
      sqlite3_bind_int(ins, 14, failed ? 0 : who % 50);
      sqlite3_bind_int(ins, 15, failed ? (who % 3 == 0 ? 942 : who % 3 == 1 ? 1 : 1400) : 0);
      Step(db, ins);
      if ((k + 1) % 200000 == 0) {
        Exec(db, "COMMIT");
        Exec(db, "BEGIN");
      }
    }
    sqlite3_finalize(ins);
    Exec(db, "update qx_sequences set value = " + std::to_string(statements) +
                 " where name = 'qx_client_sql_id_seq'");
    Exec(db, "update qx_sequences set value = " + std::to_string(rows) +
                 " where name = 'qx_client_sqlhist_id_seq'");
    Exec(db, "COMMIT");
    for (const std::string& ddl : index_ddl) Exec(db, ddl);
  } catch (const std::exception& e) {
    std::cerr << "qxgenrepo: " << e.what() << "\n";
    sqlite3_close(db);
    return 1;
  }
  sqlite3_close(db);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%s: %ld statements, %ld history rows over %ld days, %.1f s\n", file.c_str(),
              statements, rows, days, secs);
  return 0;
}
