// The SQLite repository session: binds, output variables, errors, the installed schema and
// its statements, concurrency within a process and across processes.
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/datetime.h"
#include "repository/repository.h"
#include "repository/session_factory.h"
#include "repository/sqlite/sqlite_session.h"
#include "support/test_util.h"

namespace qx::repository {
namespace {

using qx::test::TempDir;

// A connected session on a fresh repository with the whole schema.
std::unique_ptr<Session> NewRepository(const TempDir& dir, const std::string& name = "repo.db") {
  auto session = CreateSession(ParseConnectString("sqlite:" + name, dir.Dir()), true);
  session->Connect();
  session->NewStatement(SqlId::kAdminCreateSchema)->Execute();
  return session;
}

std::unique_ptr<Query> Open(Session& s, const std::string& text) {
  auto q = s.NewFreeQuery(text);
  q->Open();
  return q;
}

TEST(SqliteSession, ConnectStringsPickTheBackend) {
  auto s = Session::Create("sqlite:data/repo.db", "/opt/qx/");
  EXPECT_EQ(s->UserName(), "main");
  EXPECT_EQ(s->Server(), "data/repo.db");
  EXPECT_EQ(ParseConnectString("sqlite:data/repo.db", "/opt/qx/").sqlite_file,
            "/opt/qx/data/repo.db");
  EXPECT_EQ(ParseConnectString("sqlite:/var/qx.db", "/opt/qx/").sqlite_file, "/var/qx.db");

  const ConnectTarget ora = ParseConnectString("scott/tiger@orcl", "/opt/qx/");
  EXPECT_EQ(ora.kind, ConnectTarget::Kind::kOracle);
  EXPECT_EQ(ora.user, "scott");
  EXPECT_EQ(ora.password, "tiger");
  EXPECT_EQ(ora.server, "orcl");

  for (const char* bad : {"", "repo.db", "sqlite:", "scott@orcl", "/tiger@orcl", "scott/tiger@"}) {
    try {
      Session::Create(bad, "/opt/qx/");
      ADD_FAILURE() << "accepted " << bad;
    } catch (const RepositoryError& e) {
      EXPECT_NE(std::string(e.what()).find("sqlite:PATH"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("user/password@server"), std::string::npos);
    }
  }
}

TEST(SqliteSession, MissingFileIsAConnectErrorAndLeavesTheSessionUnconnected) {
  TempDir dir;
  auto s = Session::Create("sqlite:absent.db", dir.Dir());
  EXPECT_THROW(s->Connect(), RepositoryError);
  EXPECT_FALSE(s->Connected());
  EXPECT_FALSE(std::filesystem::exists(dir.File("absent.db")));
  EXPECT_THROW(s->NewFreeQuery("select 1")->Open(), RepositoryError);
}

TEST(SqliteSession, BindsEveryTypeAndANameUsedTwice) {
  TempDir dir;
  auto s = NewRepository(dir);
  auto q = s->NewFreeQuery(
      "select :text as t, :num as n, :frac as f, :when as d, :num + :NUM as twice, "
      "typeof(:empty) as e");
  EXPECT_TRUE(q->HasParam("TEXT"));
  EXPECT_TRUE(q->HasParam("num"));
  EXPECT_FALSE(q->HasParam("missing"));
  q->SetString("text", "O'Brien");
  q->SetNumber("Num", 21);
  q->SetNumber("frac", 0.25);
  q->SetDateTime("when", platform::EncodeDateTime({2026, 12, 6, 18, 30, 5, 400}));
  q->SetString("empty", "");
  q->Open();
  ASSERT_EQ(q->RowCount(), 1);
  EXPECT_EQ(q->FieldAsString("T"), "O'Brien");
  EXPECT_EQ(q->FieldAsNumber("n"), 21);
  EXPECT_EQ(q->FieldAsString("n"), "21");
  EXPECT_EQ(q->FieldAsNumber("f"), 0.25);
  EXPECT_EQ(q->FieldAsString("d"), "2026-12-06 18:30:05");
  EXPECT_DOUBLE_EQ(q->FieldAsNumber("d"),
                   platform::EncodeDateTime({2026, 12, 6, 18, 30, 5, 0}));
  EXPECT_EQ(q->FieldAsNumber("twice"), 42);
  EXPECT_EQ(q->FieldAsString("e"), "null");  // an empty string is NULL, as in Oracle
  EXPECT_THROW(q->FirstAsInteger(), RepositoryError);  // "O'Brien" is no number
  EXPECT_THROW(q->FieldAsString("nope"), RepositoryError);
  q->Next();
  EXPECT_TRUE(q->Eof());
  EXPECT_THROW(q->FieldAsString("t"), RepositoryError);

  // A name the text does not have, and a variable left unset.
  EXPECT_THROW(q->SetString("other", "x"), RepositoryError);
  auto unset = s->NewFreeQuery("select :a + :b");
  unset->SetNumber("a", 1);
  EXPECT_THROW(unset->Open(), RepositoryError);
  // Colons inside literals and comments are no variables.
  EXPECT_EQ(sqlite::BindNames("select ':x', \":y\" /* :z */ -- :w\n, :v, :V from t"),
            std::vector<std::string>{"v"});
}

TEST(SqliteSession, ErrorsCarrySqlitesOwnText) {
  TempDir dir;
  auto s = NewRepository(dir);
  try {
    Open(*s, "select * from no_such_table");
    FAIL();
  } catch (const RepositoryError& e) {
    EXPECT_STREQ(e.what(), "no such table: no_such_table");
  }
  try {
    Open(*s, "select from");
    FAIL();
  } catch (const RepositoryError& e) {
    EXPECT_NE(std::string(e.what()).find("syntax error"), std::string::npos) << e.what();
  }
  // Free text is one statement that only reads.
  EXPECT_THROW(Open(*s, "delete from qx_sequences"), RepositoryError);
  EXPECT_THROW(Open(*s, "select 1; delete from qx_sequences"), RepositoryError);
  EXPECT_EQ(Open(*s, "select count(*) from qx_sequences")->FirstAsInteger(), 6);
  // The session is still usable after an error.
  EXPECT_EQ(Open(*s, "select 7")->FirstAsInteger(), 7);
}

std::unique_ptr<Statement> InsertSql(Session& s, const std::string& hash,
                                     const std::string& text) {
  auto st = s.NewStatement(SqlId::kInsertSql);
  st->DeclareOutputNumber("sqlId");
  st->SetString("sqlhash", hash);
  st->SetString("sqltext", text);
  st->SetString("sqltext1", "");
  st->SetString("sqltext2", "");
  st->SetString("sqltext3", "");
  return st;
}

TEST(SqliteSession, InsertsStatementsWithTheOutputIdAndRollsBackAFailedScript) {
  TempDir dir;
  auto s = NewRepository(dir);
  double ids[2] = {};
  for (int i = 0; i < 2; ++i) {
    auto st = InsertSql(*s, "hash" + std::to_string(i), std::string(2000, 'a'));
    st->SetString("sqltext1", "tail");
    st->Execute();
    ids[i] = st->OutputNumber("SQLID");
  }
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 2);
  auto q = s->NewQuery(SqlId::kFindSqlByHash);
  q->SetString("sqlhash", "hash1");
  q->Open();
  ASSERT_EQ(q->RowCount(), 1);
  EXPECT_EQ(q->FieldAsNumber("ID"), 2);
  auto text = Open(*s, "select length(sqltext) as n, sqltext1 from qx_client_sql where id = 1");
  EXPECT_EQ(text->FieldAsNumber("n"), 2000);
  EXPECT_EQ(text->FieldAsString("sqltext1"), "tail");

  // A script that fails half-way leaves neither the sequence step nor the row behind.
  auto bad = InsertSql(*s, "", "x");  // an empty hash is NULL and violates NOT NULL
  try {
    bad->Execute();
    FAIL();
  } catch (const RepositoryError& e) {
    EXPECT_NE(std::string(e.what()).find("NOT NULL constraint failed"), std::string::npos);
  }
  EXPECT_EQ(Open(*s, "select value from qx_sequences where name = 'qx_client_sql_id_seq'")
                ->FirstAsInteger(), 2);

  // A missing sequence is an error, not a row with id 0.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("repo.db").c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "delete from qx_sequences where name = 'qx_client_sql_id_seq'",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  bad->SetString("sqlhash", "h");
  EXPECT_THROW(bad->Execute(), RepositoryError);
  EXPECT_EQ(Open(*s, "select count(*) from qx_client_sql")->FirstAsInteger(), 2);
}

// Rows executed together: committed together when all succeed; when one fails, the others
// are still committed, each once, with the sequence steps of the failed row undone.
TEST(SqliteSession, GroupedRowsEndAsIfExecutedOneByOne) {
  TempDir dir;
  auto s = NewRepository(dir);
  auto st = InsertSql(*s, "x", "text");
  auto set_row = [&](const std::vector<std::string>& hashes) {
    return [&st, hashes](size_t i) { st->SetString("sqlhash", hashes[i]); };
  };
  std::vector<std::pair<size_t, std::string>> errors;
  auto on_error = [&](size_t i, const std::exception& e) { errors.emplace_back(i, e.what()); };

  st->ExecuteRows(3, set_row({"a", "b", "c"}), on_error);
  EXPECT_TRUE(errors.empty());
  st->ExecuteRows(4, set_row({"d", "", "e", ""}), on_error);  // "" is NULL: NOT NULL fails
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].first, 1u);
  EXPECT_EQ(errors[1].first, 3u);
  EXPECT_NE(errors[0].second.find("NOT NULL constraint failed"), std::string::npos);
  auto rows = Open(*s, "select group_concat(id || sqlhash, ' ') from "
                       "(select id, sqlhash from qx_client_sql order by id)");
  EXPECT_EQ(rows->FieldAsString("group_concat(id || sqlhash, ' ')"), "1a 2b 3c 4d 5e");

  // Unconnected: every row is reported, none is silently dropped.
  s->Disconnect();
  errors.clear();
  st->ExecuteRows(2, set_row({"f", "g"}), on_error);
  EXPECT_EQ(errors.size(), 2u);
}

// A statement keeps its prepared script and bind storage from row to row: each row must still
// get its own values (a shorter text after a longer one, a date-time that changes back), and
// a reconnect in between, which finalizes every prepared statement, must not leave it
// pointing at the old ones.
TEST(SqliteSession, AStatementRunRowAfterRowKeepsEachRowsValuesAcrossAReconnect) {
  TempDir dir;
  auto s = NewRepository(dir);
  auto st = s->NewStatement(SqlId::kInsertSqlHistory);
  const double d1 = platform::EncodeDateTime({2026, 3, 1, 10, 20, 30, 0});
  const double d2 = platform::EncodeDateTime({2026, 3, 1, 10, 20, 31, 0});
  const std::string long_host(40, 'h');
  struct Row {
    double when;
    std::string host;
  };
  auto write = [&](const std::vector<Row>& rows) {
    st->ExecuteRows(
        rows.size(),
        [&](size_t i) {
          st->SetNumber("sql_id", static_cast<double>(i + 1));
          st->SetNumber("srvc_id", 1);
          st->SetDateTime("exec_date", rows[i].when);
          st->SetNumber("exec_time", 0);
          st->SetNumber("session_id", 1);
          st->SetString("host", rows[i].host);
          for (const char* name : {"ip", "orauser", "service_name", "sid", "program", "username"}) {
            st->SetString(name, "x");
          }
        },
        [](size_t i, const std::exception& e) { ADD_FAILURE() << i << ": " << e.what(); });
  };
  write({{d1, long_host}, {d1, "a"}, {d2, "b"}, {d1, ""}});
  s->Disconnect();
  s->Connect();
  write({{d2, "c"}, {d2, long_host}});
  auto rows = Open(*s, "select group_concat(exec_date || '/' || coalesce(host, '-'), ' ') as v "
                       "from (select exec_date, host from qx_client_sql_history order by id)");
  EXPECT_EQ(rows->FieldAsString("v"),
            "2026-03-01 10:20:30/" + long_host + " 2026-03-01 10:20:30/a 2026-03-01 10:20:31/b "
            "2026-03-01 10:20:30/- 2026-03-01 10:20:31/c 2026-03-01 10:20:31/" + long_host);
}

// Rows bound by position go to SQLite many to one insert. Each row must keep its own values:
// texts bound without a copy, texts set by name (whose storage the next row reuses), NULLs,
// and date-times whose text changes with the second, rounded as DecodeDateTime rounds. A row
// that fails still fails alone outside a transaction, and inside one fails the whole group.
TEST(SqliteSession, RowsInsertedTogetherKeepEachRowsValuesAndFailAsAlone) {
  TempDir dir;
  auto s = NewRepository(dir);
  const double base = platform::EncodeDateTime({2026, 3, 1, 10, 20, 30, 0});
  const double ms = 1.0 / 86400000.0;
  constexpr size_t kRows = 75;  // two runs of 32 and 11 rows one by one
  std::vector<std::string> hosts;
  for (size_t i = 0; i < kRows; ++i) hosts.push_back("host-" + std::to_string(i));
  auto write = [&](Statement& st, size_t first_id, size_t bad_row,
                   const std::function<void(size_t, const std::exception&)>& on_error) {
    const int id = st.Param("id"), sql_id = st.Param("sql_id"), host = st.Param("host"),
              date = st.Param("exec_date"), sid = st.Param("sid");
    st.ExecuteRows(
        kRows,
        [&](size_t i) {
          st.SetNumberAt(id, static_cast<double>(first_id + i));
          if (i == bad_row) {
            st.SetNullAt(sql_id);
          } else {
            st.SetNumberAt(sql_id, static_cast<double>(i % 7 + 1));
          }
          st.SetTextAt(host, hosts[i]);
          // 10:20:30.000 + 400 ms per row, 0.6 ms short of it every third row: the text
          // must follow the second as rounded to the millisecond.
          const double step = 400.0 * static_cast<double>(i) - (i % 3 ? 0.0 : 0.6);
          st.SetDateTimeAt(date, base + step * ms);
          if (i % 5 == 0) {
            st.SetNullAt(sid);
          } else {
            st.SetString("sid", "SID" + std::to_string(i));
          }
          st.SetNumber("srvc_id", 1);
          st.SetNumber("exec_time", static_cast<double>(i) / 4);
          st.SetNumber("session_id", 9);
          for (const char* name : {"ip", "orauser", "service_name", "program", "username"}) {
            st.SetString(name, std::string(name) + std::to_string(i));
          }
        },
        on_error);
  };
  auto expected = [&](size_t first_id, size_t skip) {
    std::string out;
    for (size_t i = 0; i < kRows; ++i) {
      if (i == skip) continue;
      const long long total = 400LL * static_cast<long long>(i) - (i % 3 ? 0 : 1);
      const platform::LocalTime t =
          platform::DecodeDateTime(base + static_cast<double>(total) * ms);
      char when[32];
      std::snprintf(when, sizeof when, "%02d:%02d", t.minute, t.second);
      out += std::to_string(first_id + i) + ":" + std::to_string(i % 7 + 1) + ":" + hosts[i] +
             ":" + when + ":" + (i % 5 == 0 ? "-" : "SID" + std::to_string(i)) + ":ip" +
             std::to_string(i) + ":program" + std::to_string(i) + ";";
    }
    return out;
  };
  auto stored = [&](size_t from, size_t to) {
    return Open(*s, "select group_concat(v, '') as v from (select id || ':' || sql_id || ':' || "
                    "host || ':' || substr(exec_date, 15, 5) || ':' || coalesce(sid, '-') || "
                    "':' || ip || ':' || program || ';' as v from qx_client_sql_history where "
                    "id between " + std::to_string(from) + " and " + std::to_string(to) +
                    " order by id)")
        ->FieldAsString("v");
  };

  auto st = s->NewStatement(SqlId::kInsertSqlHistoryWithId);
  write(*st, 1, kRows, [](size_t i, const std::exception& e) { ADD_FAILURE() << i << e.what(); });
  EXPECT_EQ(stored(1, 1000), expected(1, kRows));

  // Outside a transaction: row 40, in the second run of 32, fails alone.
  std::vector<size_t> failed;
  write(*st, 101, 40, [&](size_t i, const std::exception&) { failed.push_back(i); });
  EXPECT_EQ(failed, std::vector<size_t>{40});
  EXPECT_EQ(stored(101, 1000), expected(101, 40));

  // Inside the caller's transaction the failure ends it, and nothing of it stays.
  EXPECT_THROW(s->RunTransaction([&] {
    write(*st, 201, 10, [](size_t, const std::exception& e) { throw RepositoryError(e.what()); });
  }),
               RepositoryError);
  EXPECT_EQ(stored(201, 1000), "");
}

TEST(SqliteSession, RunsTheServicesStatements) {
  TempDir dir;
  auto s = NewRepository(dir);
  auto check = s->NewQuery(SqlId::kCheckInstalled);
  check->Open();
  EXPECT_EQ(check->RowCount(), 1);

  auto next = [&] {
    auto q = s->NewQuery(SqlId::kNextSessionId);
    q->Open();
    return q->FirstAsNumber();
  };
  EXPECT_EQ(next(), 1);
  EXPECT_EQ(next(), 2);

  auto ins = s->NewStatement(SqlId::kInsertStatusRow);
  ins->SetNumber("service_id", 3);
  ins->SetString("host", "BOX");
  ins->Execute();
  auto upd = s->NewStatement(SqlId::kUpdateStatusRow);
  upd->SetNumber("service_id", 3);
  upd->SetString("host", "BOX");
  upd->Execute();
  auto row = Open(*s, "select service_start, last_update from qx_service_status");
  ASSERT_EQ(row->RowCount(), 1);
  double start = 0;
  EXPECT_TRUE(sqlite::ParseDateTimeText(row->FieldAsString("service_start"), &start));
  EXPECT_NEAR(start, platform::NowDateTime(), 5.0 / 86400);
  auto del = s->NewStatement(SqlId::kDeleteStatusRows);
  del->SetString("host", "BOX");
  del->Execute();
  EXPECT_EQ(Open(*s, "select count(*) from qx_service_status")->FirstAsInteger(), 0);

  auto hist = s->NewStatement(SqlId::kInsertSqlHistory);
  hist->SetNumber("sql_id", 1);
  hist->SetNumber("srvc_id", 3);
  hist->SetDateTime("exec_date", platform::EncodeDateTime({2026, 1, 2, 3, 4, 5, 0}));
  hist->SetNumber("exec_time", 12.5);
  hist->SetNumber("session_id", 9);
  for (const char* n : {"host", "ip", "orauser", "service_name", "sid", "program", "username"}) {
    hist->SetString(n, std::string(n) + "-value");
  }
  hist->Execute();
  hist->Execute();  // binds stay set
  auto h = Open(*s, "select * from qx_client_sql_history order by id");
  ASSERT_EQ(h->RowCount(), 2);
  EXPECT_EQ(h->FieldAsNumber("id"), 1);
  EXPECT_EQ(h->FieldAsString("exec_date"), "2026-01-02 03:04:05");
  EXPECT_EQ(h->FieldAsNumber("exec_time"), 12.5);
  EXPECT_EQ(h->FieldAsString("program"), "program-value");
  h->Next();
  EXPECT_EQ(h->FieldAsNumber("id"), 2);
}

// Statements are prepared once per connection and kept: they must follow schema changes made
// by another connection, report errors as before, still roll back, and survive a reconnect.
TEST(SqliteSession, KeptStatementsFollowSchemaChangesAndStillRollBack) {
  TempDir dir;
  auto s = NewRepository(dir);
  auto history = [&](double sql_id) {
    auto st = s->NewStatement(SqlId::kInsertSqlHistory);
    st->SetNumber("sql_id", sql_id);
    st->SetNumber("srvc_id", 1);
    st->SetDateTime("exec_date", platform::EncodeDateTime({2026, 1, 2, 3, 4, 5, 0}));
    st->SetNumber("exec_time", 1);
    st->SetNumber("session_id", 1);
    for (const char* n : {"host", "ip", "orauser", "service_name", "sid", "program", "username"}) {
      st->SetString(n, n);
    }
    st->Execute();
  };
  auto columns = [&] { return Open(*s, "select * from qx_client_sql_history")->RowCount(); };
  history(1);
  const std::string star = "select * from qx_client_sql_history where id = 1";
  const auto before = s->NewFreeQuery(star);
  before->Open();
  EXPECT_THROW(before->FieldAsString("extra"), RepositoryError);

  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("repo.db").c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "alter table qx_client_sql_history add column extra text default 'e'",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  history(2);
  EXPECT_EQ(columns(), 2);
  EXPECT_EQ(Open(*s, star)->FieldAsString("extra"), "e");  // "*" now has the new column

  // A failed script run from kept statements still leaves nothing behind, twice over.
  for (int i = 0; i < 2; ++i) {
    EXPECT_THROW(InsertSql(*s, "", "x")->Execute(), RepositoryError);
    EXPECT_EQ(Open(*s, "select value from qx_sequences where name = 'qx_client_sql_id_seq'")
                  ->FirstAsInteger(), 0);
  }

  // A table dropped under a kept statement is SQLite's own error, and the script rolls back.
  ASSERT_EQ(sqlite3_exec(raw, "drop table qx_client_sql_history", nullptr, nullptr, nullptr),
            SQLITE_OK);
  try {
    history(3);
    FAIL();
  } catch (const RepositoryError& e) {
    EXPECT_STREQ(e.what(), "no such table: qx_client_sql_history");
  }
  EXPECT_EQ(Open(*s, "select value from qx_sequences where name = 'qx_client_sqlhist_id_seq'")
                ->FirstAsInteger(), 2);
  sqlite3_close(raw);

  // Reconnecting prepares afresh; many distinct free texts only evict one another.
  s->Disconnect();
  s->Connect();
  EXPECT_THROW(history(4), RepositoryError);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(Open(*s, "select " + std::to_string(i))->FirstAsInteger(), i);
    }
  }
}

TEST(SqliteSession, EightThreadsShareOneSession) {
  TempDir dir;
  auto s = NewRepository(dir);
  constexpr int kThreads = 8, kRows = 60;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (int i = 0; i < kRows; ++i) {
          const std::string hash = std::to_string(t) + "-" + std::to_string(i);
          auto st = InsertSql(*s, hash, "text of " + hash);
          st->Execute();
          auto q = s->NewQuery(SqlId::kFindSqlByHash);
          q->SetString("sqlhash", hash);
          q->Open();
          if (q->RowCount() != 1 || q->FieldAsNumber("id") != st->OutputNumber("sqlId")) {
            ++failures;
          }
          auto n = s->NewQuery(SqlId::kNextSessionId);
          n->Open();
          n->FirstAsNumber();
        }
      } catch (const std::exception& e) {
        ++failures;
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  auto all = Open(*s, "select id, sqlhash, sqltext from qx_client_sql order by id");
  ASSERT_EQ(all->RowCount(), kThreads * kRows);
  for (int i = 1; !all->Eof(); all->Next(), ++i) {
    EXPECT_EQ(all->FieldAsNumber("id"), i);
    EXPECT_EQ(all->FieldAsString("sqltext"), "text of " + all->FieldAsString("sqlhash"));
  }
  EXPECT_EQ(Open(*s, "select value from qx_sequences where name = 'qx_session_id_seq'")
                ->FirstAsInteger(), kThreads * kRows);
}

// fork() shares the test's state with the second writer; a Windows counterpart would need a
// writer program of its own. The locking it checks is SQLite's, the same on both systems.
#ifndef _WIN32
TEST(SqliteSession, TwoProcessesWriteOneFile) {
  TempDir dir;
  NewRepository(dir)->Disconnect();
  constexpr int kRows = 150;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      int code = 0;
      try {
        auto s = Session::Create("sqlite:repo.db", dir.Dir());
        s->Connect();
        for (int i = 0; i < kRows; ++i) {
          InsertSql(*s, std::to_string(c) + "-" + std::to_string(i), "x")->Execute();
        }
      } catch (...) {
        code = 1;
      }
      _exit(code);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto s = Session::Create("sqlite:repo.db", dir.Dir());
  s->Connect();
  EXPECT_EQ(Open(*s, "select count(*) from qx_client_sql")->FirstAsInteger(), 2 * kRows);
  EXPECT_EQ(Open(*s, "select count(distinct id) from qx_client_sql")->FirstAsInteger(), 2 * kRows);
  EXPECT_EQ(Open(*s, "select max(id) from qx_client_sql")->FirstAsInteger(), 2 * kRows);
}
#endif  // !_WIN32

TEST(SqliteSession, EveryStatementHasASqliteTextWithTheOracleBinds) {
  for (int i = 0; i < static_cast<int>(SqlId::kCount); ++i) {
    const auto id = static_cast<SqlId>(i);
    const std::string text = JoinLines(SqliteText(id));
    ASSERT_FALSE(text.empty()) << "SqlId " << i;
    if (id == SqlId::kAdminCreateSchema) continue;
    std::vector<std::string> oracle = sqlite::BindNames(JoinLines(OracleText(id)));
    if (i >= static_cast<int>(SqlId::kAdminCreateSchema)) {
      oracle = sqlite::BindNames(JoinLines(OracleAdminText(id)));
    }
    const std::vector<std::string> mine = sqlite::BindNames(text);
    EXPECT_EQ(std::set<std::string>(oracle.begin(), oracle.end()),
              std::set<std::string>(mine.begin(), mine.end()))
        << "SqlId " << i;
  }
}

}  // namespace
}  // namespace qx::repository
