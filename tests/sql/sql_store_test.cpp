// The statement catalogue and the execution history on a real (SQLite) repository: what
// reaches qx_client_sql and qx_client_sql_history, what the cache spares, and what the logs say
// when the repository refuses a row.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture/relay_handlers.h"
#include "platform/datetime.h"
#include "sql/sql_store.h"
#include "store_support.h"

namespace qx::sql {
namespace {

using capture::TThreadData;
using service::TSQLFilter;
using test::NewRecord;
using test::Row;
using test::Rows;
using test::ServiceFixture;

constexpr double kStart = 46365.5;  // 2026-12-09 12:00:00

// Completes `text` as the record's current statement, as a statement boundary does.
void Complete(ServiceFixture& f, TThreadData& r, const std::string& text, int32_t elapsed,
              double start = kStart) {
  r.sqlText = text;
  r.sqlStart = start;
  SaveSQL(f.svc, r, elapsed);
}

std::string Count(ServiceFixture& f, const std::string& table) {
  return f.Scalar("select count(*) from " + table);
}

class Catalogue : public ::testing::Test {
 protected:
  ServiceFixture f;
  service::TServiceData& service = test::AddServiceRecord(f, 1, "ORCL");
};

TEST_F(Catalogue, NewStatementIsInsertedOnceAndLaterFoundInTheCacheWithoutTheRepository) {
  auto a = NewRecord(&service, 5);
  Complete(f, *a, "SELECT * FROM EMP", 12);
  EXPECT_EQ(Rows(f, "select id, sqlhash, sqltext, sqltext1, sqltext2, sqltext3 from qx_client_sql"),
            (std::vector<Row>{{"1", GetSQLHash("SELECT * FROM EMP"), "SELECT * FROM EMP",
                               "<null>", "<null>", "<null>"}}));
  ASSERT_EQ(a->historyQueue->size(), 1u);
  EXPECT_EQ((*a->historyQueue)[0].sql_id, 1);
  EXPECT_EQ((*a->historyQueue)[0].exec_date, kStart);
  EXPECT_EQ((*a->historyQueue)[0].exec_time, 12);
  ASSERT_EQ(f.svc.sqlCache->Size(), 1u);

  // With the repository gone, the cached statement is still recorded, on another connection;
  // a statement the cache does not know now fails in its lookup and the error reaches the
  // caller without a queue entry.
  f.svc.session->Disconnect();
  auto b = NewRecord(&service, 6);
  Complete(f, *b, "SELECT * FROM EMP", 3);
  ASSERT_EQ(b->historyQueue->size(), 1u);
  EXPECT_EQ((*b->historyQueue)[0].sql_id, 1);
  b->sqlText = "SELECT * FROM DEPT";
  EXPECT_ANY_THROW(SaveSQL(f.svc, *b, 0));
  EXPECT_EQ(b->historyQueue->size(), 1u);
  EXPECT_TRUE(f.ServiceLog().empty());
}

TEST_F(Catalogue, StatementKnownToTheRepositoryIsCachedNotInsertedAgain) {
  const std::string text = "SELECT ENAME FROM EMP";
  f.Exec("insert into qx_client_sql (id, sqlhash, sqltext) values (77, '" + GetSQLHash(text) +
         "', 'stored by an earlier run')");
  auto r = NewRecord(&service, 1);
  Complete(f, *r, text, 0);
  EXPECT_EQ(Count(f, "qx_client_sql"), "1");
  EXPECT_EQ(f.Scalar("select value from qx_sequences where name = 'qx_client_sql_id_seq'"), "0");
  ASSERT_EQ(r->historyQueue->size(), 1u);
  EXPECT_EQ((*r->historyQueue)[0].sql_id, 77);
  const auto cached = f.svc.sqlCache->Find(GetSQLHash(text));
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->id, 77);
}

TEST_F(Catalogue, WithoutACacheEveryCompletionAsksTheRepositoryAndStillWorks) {
  f.svc.sqlCache = std::make_unique<TSQLCache>(0);
  auto r = NewRecord(&service, 1);
  Complete(f, *r, "SELECT * FROM EMP", 1);
  Complete(f, *r, "SELECT * FROM EMP", 2);
  Complete(f, *r, "SELECT * FROM DEPT", 3);
  Complete(f, *r, "SELECT * FROM EMP", 4);
  EXPECT_EQ(Count(f, "qx_client_sql"), "2");
  EXPECT_EQ(f.svc.sqlCache->Size(), 0u);
  std::vector<double> ids;
  for (const TSQLHistData& h : *r->historyQueue) ids.push_back(h.sql_id);
  EXPECT_EQ(ids, (std::vector<double>{1, 1, 2, 1}));
}

// A connection remembers the ids of its latest eight distinct statements: run again, they are
// recorded under the right id with neither a cache nor a repository; an older one is looked
// up again.
TEST_F(Catalogue, AConnectionsLatestStatementsNeedNeitherCacheNorRepository) {
  f.svc.sqlCache = std::make_unique<TSQLCache>(0);
  auto r = NewRecord(&service, 1);
  auto text = [](int i) { return "SELECT " + std::to_string(i) + " FROM DUAL"; };
  for (int i = 0; i < 10; ++i) Complete(f, *r, text(i), i);
  std::vector<double> ids;
  for (int i = 0; i < 10; ++i) {
    ids.push_back(std::stod(f.Scalar("select id from qx_client_sql where sqlhash = '" +
                                     GetSQLHash(text(i)) + "'")));
  }
  f.svc.session->Disconnect();
  r->historyQueue->clear();
  for (int i : {9, 2, 5, 2}) Complete(f, *r, text(i), 0);
  ASSERT_EQ(r->historyQueue->size(), 4u);
  EXPECT_EQ((*r->historyQueue)[0].sql_id, ids[9]);
  EXPECT_EQ((*r->historyQueue)[1].sql_id, ids[2]);
  EXPECT_EQ((*r->historyQueue)[2].sql_id, ids[5]);
  EXPECT_EQ((*r->historyQueue)[3].sql_id, ids[2]);
  // The two oldest gave way to the eight after them.
  r->sqlText = text(1);
  EXPECT_ANY_THROW(SaveSQL(f.svc, *r, 0));
  EXPECT_EQ(r->historyQueue->size(), 4u);
}

// Statements a connection runs again stay known however many statements it runs only once in
// between (literal values in the text make each of those a new one).
TEST_F(Catalogue, RepeatedStatementsOutlastAnyNumberOfStatementsRunOnce) {
  f.svc.sqlCache = std::make_unique<TSQLCache>(0);
  auto r = NewRecord(&service, 1);
  auto common = [](int i) { return "SELECT NAME FROM T" + std::to_string(i) + " WHERE ID = :1"; };
  for (int n = 0; n < 200; ++n) {
    Complete(f, *r, n % 3 == 2 ? "SELECT * FROM ORDERS WHERE ID = " + std::to_string(n)
                               : common(n % 8), 0);
  }
  std::vector<double> ids;
  for (int i = 0; i < 8; ++i) {
    ids.push_back(std::stod(f.Scalar("select id from qx_client_sql where sqlhash = '" +
                                     GetSQLHash(common(i)) + "'")));
  }
  f.svc.session->Disconnect();
  r->historyQueue->clear();
  for (int i = 7; i >= 0; --i) Complete(f, *r, common(i), 0);
  ASSERT_EQ(r->historyQueue->size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ((*r->historyQueue)[7 - i].sql_id, ids[i]) << i;
}

// A statement text longer than 4096 bytes is not kept by its connection: run again, it is
// looked up again (and found by its hash, without the repository once the cache has it).
TEST_F(Catalogue, ALongStatementIsLookedUpEachTimeItRuns) {
  f.svc.sqlCache = std::make_unique<TSQLCache>(0);
  auto r = NewRecord(&service, 1);
  const std::string text = "SELECT '" + std::string(5000, 'x') + "' FROM DUAL";
  Complete(f, *r, text, 1);
  Complete(f, *r, text, 2);
  EXPECT_EQ(Count(f, "qx_client_sql"), "1");
  ASSERT_EQ(r->historyQueue->size(), 2u);
  EXPECT_EQ((*r->historyQueue)[0].sql_id, (*r->historyQueue)[1].sql_id);
  f.svc.session->Disconnect();
  r->sqlText = text;
  EXPECT_ANY_THROW(SaveSQL(f.svc, *r, 0));
  f.svc.sqlCache = std::make_unique<TSQLCache>(10);
  f.svc.sqlCache->Add(TSQLData{(*r->historyQueue)[0].sql_id, GetSQLHash(text)});
  Complete(f, *r, text, 3);
  ASSERT_EQ(r->historyQueue->size(), 3u);
  EXPECT_EQ((*r->historyQueue)[2].sql_id, (*r->historyQueue)[0].sql_id);
}

TEST_F(Catalogue, LongStatementsAreStoredInFourPiecesAndHashedWhole) {
  auto r = NewRecord(&service, 1);
  const std::string body2500 = "SELECT " + std::string(2486, 'A') + " FROM T";
  ASSERT_EQ(body2500.size(), 2500u);
  Complete(f, *r, body2500, 0);
  EXPECT_EQ(Rows(f, "select length(sqltext), length(sqltext1), sqltext2, sqltext3, "
                    "sqltext || sqltext1 from qx_client_sql"),
            (std::vector<Row>{{"2000", "500", "<null>", "<null>", body2500}}));

  // Two 9000-character statements that differ only after character 8000 store the same four
  // pieces but are two statements: the hash covers all 9000 characters.
  std::string text9000 = "SELECT ";
  for (int i = 0; text9000.size() < 8993; ++i) text9000 += char('A' + i % 26);
  text9000 += " FROM T";
  ASSERT_EQ(text9000.size(), 9000u);
  std::string other = text9000;
  other[8500] = other[8500] == 'Q' ? 'R' : 'Q';
  Complete(f, *r, text9000, 0);
  Complete(f, *r, other, 0);
  const std::vector<Row> rows = Rows(
      f, "select sqlhash, sqltext, sqltext1, sqltext2, sqltext3 from qx_client_sql where id > 1 "
         "order by id");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], GetSQLHash(text9000));
  EXPECT_EQ(rows[1][0], GetSQLHash(other));
  EXPECT_EQ((Row{rows[0][1], rows[0][2], rows[0][3], rows[0][4]}),
            (Row{text9000.substr(0, 2000), text9000.substr(2000, 2000),
                 text9000.substr(4000, 2000), text9000.substr(6000, 2000)}));
  EXPECT_EQ((Row(rows[1].begin() + 1, rows[1].end())), (Row(rows[0].begin() + 1, rows[0].end())));
  EXPECT_EQ(r->historyQueue->size(), 3u);
}

TEST_F(Catalogue, RefusedInsertIsReportedOnceInEachLogAndTriedAgainNextTime) {
  f.Exec("create trigger refuse before insert on qx_client_sql "
         "begin select raise(abort, 'catalogue refuses rows'); end;");
  auto r = NewRecord(&service, 5);
  Complete(f, *r, "SELECT * FROM EMP", 10);
  const std::vector<std::string> want = {
      "Connection 5 Insert new SQL statement exception: catalogue refuses rows"};
  EXPECT_EQ(f.ServiceLog(), want);
  EXPECT_EQ(f.ErrorLog(), want);
  EXPECT_TRUE(r->historyQueue->empty());
  EXPECT_EQ(f.svc.sqlCache->Size(), 0u);
  // The block is one transaction: the sequence step went back with the refused insert.
  EXPECT_EQ(f.Scalar("select value from qx_sequences where name = 'qx_client_sql_id_seq'"), "0");

  f.Exec("drop trigger refuse");
  Complete(f, *r, "SELECT * FROM EMP", 20);
  EXPECT_EQ(Count(f, "qx_client_sql"), "1");
  ASSERT_EQ(r->historyQueue->size(), 1u);
  EXPECT_EQ((*r->historyQueue)[0].exec_time, 20);
  EXPECT_EQ(f.ServiceLog().size(), 1u);

  // A missing sequence row is a failing block too, with the repository's own message.
  f.Exec("delete from qx_sequences where name = 'qx_client_sql_id_seq'");
  Complete(f, *r, "SELECT * FROM DEPT", 0);
  const std::vector<std::string> log = f.ErrorLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].rfind("Connection 5 Insert new SQL statement exception: ", 0), 0u) << log[1];
  EXPECT_GT(log[1].size(), std::string("Connection 5 Insert new SQL statement exception: ").size());
  EXPECT_EQ(r->historyQueue->size(), 1u);
}

TEST_F(Catalogue, DroppedStatementsLeaveNoTrace) {
  auto r = NewRecord(&service, 1);
  for (const char* text : {"SELECT * FROM QX_CLIENT_SQL", "BEGIN P;", "COMMIT", "SELECT A"}) {
    Complete(f, *r, text, 0);
  }
  auto early = NewRecord(&service, 2);
  early->established = false;  // no descriptor decoded yet
  Complete(f, *early, "SELECT * FROM EMP", 0);
  auto orphan = NewRecord(nullptr, 3);  // no service: everything is excluded
  Complete(f, *orphan, "SELECT * FROM EMP", 0);
  EXPECT_EQ(Count(f, "qx_client_sql"), "0");
  EXPECT_TRUE(r->historyQueue->empty());
  EXPECT_TRUE(early->historyQueue->empty());
  EXPECT_TRUE(orphan->historyQueue->empty());
  EXPECT_TRUE(f.ServiceLog().empty());

  // Excluded by a filter: the filter's line in the trace, nothing stored.
  TSQLFilter filter;
  filter.id = 7;
  filter.filter_type = "EXCLUDE";
  filter.sqlstatement = "SYS.,DBMS_";
  service.sqlFilters.push_back(filter);
  service.anySqlFilters = true;
  auto filtered = NewRecord(&service, 4);
  Complete(f, *filtered, "select * from sys.obj$", 0);
  EXPECT_EQ(Count(f, "qx_client_sql"), "0");
  EXPECT_TRUE(filtered->historyQueue->empty());
  EXPECT_EQ(filtered->traceLines->back(),
            "Connection# 4: Excluding previous SQL according to filter # 7 : "
            "SELECT * FROM SYS.OBJ$");

  // A negative elapsed time is recorded as 0.
  Complete(f, *filtered, "SELECT * FROM EMP", -5);
  ASSERT_EQ(filtered->historyQueue->size(), 1u);
  EXPECT_EQ((*filtered->historyQueue)[0].exec_time, 0);
}

TEST_F(Catalogue, FilterDateConditionsRunOnTheRepositoryWithSysdate) {
  TSQLFilter include;
  include.id = 3;
  include.filter_type = "INCLUDE";
  include.exec_date_expr = "to_char(:Date,'YYYY') > '2000'";
  service.sqlFilters.push_back(include);
  service.anySqlFilters = true;
  auto r = NewRecord(&service, 1);
  Complete(f, *r, "SELECT * FROM EMP", 0);
  EXPECT_EQ(Count(f, "qx_client_sql"), "1");
  EXPECT_EQ(r->traceLines->back(),
            "Connection# 1: Including previous SQL according to filter # 3 : SELECT * FROM EMP");
  EXPECT_TRUE(CheckDateExpr(f.svc, "to_char(:DATE,'YYYY') > '2000'"));
  EXPECT_FALSE(CheckDateExpr(f.svc, "to_char(:date,'YYYY') < '2000'"));

  // A condition that is false or that the repository rejects: the only inclusion filter never
  // holds, so nothing is recorded, and nothing is logged.
  for (const char* condition : {"to_char(:date,'YYYY') < '2000'", "no_such_function(:date) = 1",
                                "1 = "}) {
    service.sqlFilters[0].exec_date_expr = condition;
    r->traceLines->clear();
    Complete(f, *r, "SELECT * FROM DEPT", 0);
    EXPECT_TRUE(r->traceLines->empty()) << condition;
  }
  EXPECT_EQ(Count(f, "qx_client_sql"), "1");
  EXPECT_EQ(r->historyQueue->size(), 1u);
  EXPECT_TRUE(f.ServiceLog().empty());
  EXPECT_TRUE(f.ErrorLog().empty());
}

class History : public ::testing::Test {
 protected:
  // A connection with a full identity whose queue holds executions of one stored statement
  // with the given exec_times, one second apart.
  std::unique_ptr<TThreadData> Connection(int32_t no, const std::vector<int32_t>& times) {
    auto r = NewRecord(&service, no, 900 + no);
    r->host = "WS17";
    r->ip = "127.0.0.1";
    r->serviceName = "ORCL";
    r->sid = "ORCL1";
    r->program = "SQLPLUS.EXE";
    r->username = "JSMITH";
    for (size_t i = 0; i < times.size(); ++i) {
      Complete(f, *r, "SELECT * FROM EMP", times[i], kStart + double(i) / 86400);
    }
    return r;
  }
  std::vector<Row> HistoryRows(const std::string& columns) {
    return Rows(f, "select " + columns + " from qx_client_sql_history order by id");
  }
  std::vector<std::string> ExecTimes() {
    std::vector<std::string> out;
    for (const Row& row : HistoryRows("exec_time")) out.push_back(row[0]);
    return out;
  }

  ServiceFixture f;
  service::TServiceData& service = test::AddServiceRecord(f, 4, "ORCL");
};

TEST_F(History, NewestEntryOfTheFinalWriteHasNoElapsedTime) {
  auto r = Connection(1, {12, 40, 7});
  InsertSQLHistory(f.svc, *r, false);
  EXPECT_EQ(ExecTimes(), (std::vector<std::string>{"12", "40", "7"}));
  EXPECT_TRUE(r->historyQueue->empty());
  EXPECT_EQ(HistoryRows("id, sql_id, srvc_id, exec_date, session_id, host, ip, orauser, "
                        "service_name, sid, program, username")[1],
            (Row{"2", "1", "4", "2026-12-09 12:00:01", "901", "WS17", "127.0.0.1", "<null>",
                 "ORCL", "ORCL1", "SQLPLUS.EXE", "JSMITH"}));

  f.Exec("delete from qx_client_sql_history");
  auto s = Connection(2, {12, 40, 7});
  InsertSQLHistory(f.svc, *s, true);
  EXPECT_EQ(ExecTimes(), (std::vector<std::string>{"12", "40", "0"}));
  EXPECT_TRUE(f.ErrorLog().empty());
}

TEST_F(History, OneRefusedRowOfFiveIsReportedAndTheOthersAreWritten) {
  f.Exec("create trigger refuse before insert on qx_client_sql_history when new.exec_time = 30 "
         "begin select raise(abort, 'history refuses the row'); end;");
  auto r = Connection(1, {10, 20, 30, 40, 50});
  InsertSQLHistory(f.svc, *r, false);
  EXPECT_EQ(ExecTimes(), (std::vector<std::string>{"10", "20", "40", "50"}));
  const std::vector<std::string> want = {"Insert SQL History exception: history refuses the row"};
  EXPECT_EQ(f.ServiceLog(), want);
  EXPECT_EQ(f.ErrorLog(), want);
  EXPECT_TRUE(r->historyQueue->empty());
  // Nothing is retried: a later write does not bring the refused row back.
  InsertSQLHistory(f.svc, *r, true);
  EXPECT_EQ(ExecTimes().size(), 4u);
}

TEST_F(History, IdentityIsReadWhenTheQueueIsWrittenAndCutToTheColumnLengths) {
  auto r = Connection(1, {1, 2});
  r->orauser = "SCOTT";  // learnt after both executions were queued
  InsertSQLHistory(f.svc, *r, false);
  EXPECT_EQ(HistoryRows("orauser"), (std::vector<Row>(2, Row{"SCOTT"})));

  f.Exec("delete from qx_client_sql_history");
  auto s = Connection(2, {1});
  s->program = std::string(2500, 'P');
  s->host = std::string(250, 'H');
  s->ip = std::string(40, '1');
  s->serviceName = std::string(120, 'S');
  s->sid = std::string(25, 'I');
  s->username = std::string(130, 'U');
  s->orauser = std::string(35, 'O');
  InsertSQLHistory(f.svc, *s, false);
  EXPECT_EQ(HistoryRows("length(host), length(ip), length(orauser), length(service_name), "
                        "length(sid), length(program), length(username), substr(program, 1, 2)"),
            (std::vector<Row>{{"200", "30", "30", "100", "20", "2000", "100", "PP"}}));
  EXPECT_TRUE(f.ErrorLog().empty());
}

TEST_F(History, ClosingTwiceWritesOnceAndLeavesNoQueue) {
  auto r = Connection(1, {5, 6});
  CloseSQLHistory(f.svc, *r);
  EXPECT_EQ(ExecTimes(), (std::vector<std::string>{"5", "0"}));
  EXPECT_EQ(r->historyQueue, nullptr);
  CloseSQLHistory(f.svc, *r);
  InsertSQLHistory(f.svc, *r, true);
  // A statement completed after the close is still catalogued but queues nothing.
  Complete(f, *r, "SELECT * FROM DEPT", 9);
  EXPECT_EQ(Count(f, "qx_client_sql"), "2");
  EXPECT_EQ(ExecTimes().size(), 2u);
  EXPECT_TRUE(f.ServiceLog().empty());
}

TEST(TwoServices, OneStatementIsOneCatalogueRowWithEachConnectionsOwnHistory) {
  ServiceFixture f;
  service::TServiceData& orcl = test::AddServiceRecord(f, 1, "ORCL");
  service::TServiceData& prod = test::AddServiceRecord(f, 2, "PROD");
  auto a = NewRecord(&orcl, 0, 101);
  a->host = "WS17";
  a->ip = "127.0.0.17";
  a->serviceName = "ORCL";
  a->program = "SQLPLUS.EXE";
  a->username = "JSMITH";
  a->orauser = "SCOTT";
  auto b = NewRecord(&prod, 1, 102);
  b->host = "WS18";
  b->ip = "127.0.0.18";
  b->sid = "PROD";
  b->program = "TOAD.EXE";
  b->username = "MARY";
  b->orauser = "HR";
  Complete(f, *a, "SELECT * FROM EMP", 3);
  Complete(f, *b, "SELECT * FROM EMP", 4);
  for (TThreadData* r : {a.get(), b.get()}) {
    InsertSQLHistory(f.svc, *r, false);
    CloseSQLHistory(f.svc, *r);
  }
  EXPECT_EQ(Rows(f, "select id, sqltext from qx_client_sql"),
            (std::vector<Row>{{"1", "SELECT * FROM EMP"}}));
  EXPECT_EQ(Rows(f, "select sql_id, srvc_id, exec_time, session_id, host, ip, orauser, "
                    "service_name, sid, program, username from qx_client_sql_history order by id"),
            (std::vector<Row>{{"1", "1", "3", "101", "WS17", "127.0.0.17", "SCOTT", "ORCL",
                               "<null>", "SQLPLUS.EXE", "JSMITH"},
                              {"1", "2", "4", "102", "WS18", "127.0.0.18", "HR", "<null>", "PROD",
                               "TOAD.EXE", "MARY"}}));
}

// Eight connections store their statements at once. Threads pair
// up on the same statements in the same order, so every new statement is completed by two
// connections at nearly the same moment: the catalogue must still get it once.
TEST(ConcurrentConnections, EachDistinctStatementIsCataloguedOnceAndEveryExecutionKept) {
  ServiceFixture f;
  service::TServiceData& service = test::AddServiceRecord(f, 1, "ORCL");
  f.svc.sqlCache = std::make_unique<TSQLCache>(64);  // small, so entries keep leaving it
  constexpr int kThreads = 8;
  const int perThread = test::UnderSanitizer() ? 125 : 1250;
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto r = NewRecord(&service, t, t);
      for (int j = 0; j < perThread; ++j) {
        r->sqlText = "SELECT C FROM T WHERE ID = " + std::to_string((t / 2) * perThread + j);
        SaveSQL(f.svc, *r, 0);
      }
      InsertSQLHistory(f.svc, *r, true);
      CloseSQLHistory(f.svc, *r);
    });
  }
  for (std::thread& th : threads) th.join();
  const int executions = kThreads * perThread;
  EXPECT_EQ(f.Scalar("select count(*) || ' ' || count(distinct sqlhash) || ' ' || "
                     "count(distinct sqltext) from qx_client_sql"),
            std::to_string(executions / 2) + " " + std::to_string(executions / 2) + " " +
                std::to_string(executions / 2));
  EXPECT_EQ(f.Scalar("select count(*) from qx_client_sql_history h join qx_client_sql c "
                     "on c.id = h.sql_id"),
            std::to_string(executions));
  // Each statement twice, once by each thread of its pair.
  EXPECT_EQ(f.Scalar("select count(*) from (select sql_id from qx_client_sql_history "
                     "group by sql_id having count(*) = 2 and count(distinct session_id) = 2)"),
            std::to_string(executions / 2));
  EXPECT_TRUE(f.ErrorLog().empty());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now() - started).count();
  RecordProperty("seconds", static_cast<int>(seconds));
}

}  // namespace
}  // namespace qx::sql
