// Tests of the Oracle backend against the stand-in client library (oci_stub/oci_stub.cc):
// the OCI calls made for binds, output binds, queries and errors, the pool and reconnection,
// and the message given when no client library can be loaded.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/datetime.h"
#include "platform/platform.h"
#include "repository/oracle/bind_names.h"
#include "repository/oracle/oracle_session.h"
#include "repository/oracle_backend.h"

namespace qx::repository {
namespace {

// The stub's control functions, looked up in the same library the backend loads.
struct Stub {
  void (*reset)();
  const char* (*log)();
  void (*fail_next)(const char*, int, const char*);
  void (*queue_result)(const char*, const char*);
  void (*set_output)(const char*, double);
  void (*set_down)(int);
  void (*set_delay)(int);
  int (*open_sessions)();
  int (*max_concurrent)();

  static Stub& Get() {
    static Stub stub = [] {
      Stub s{};
      void* lib = platform::OpenLibrary(QX_OCISTUB_PATH);
      EXPECT_NE(lib, nullptr) << QX_OCISTUB_PATH;
      auto sym = [lib](const char* name) { return platform::LibrarySymbol(lib, name); };
      s.reset = reinterpret_cast<void (*)()>(sym("ocistub_reset"));
      s.log = reinterpret_cast<const char* (*)()>(sym("ocistub_log"));
      s.fail_next = reinterpret_cast<void (*)(const char*, int, const char*)>(
          sym("ocistub_fail_next"));
      s.queue_result =
          reinterpret_cast<void (*)(const char*, const char*)>(sym("ocistub_queue_result"));
      s.set_output = reinterpret_cast<void (*)(const char*, double)>(sym("ocistub_set_output"));
      s.set_down = reinterpret_cast<void (*)(int)>(sym("ocistub_set_down"));
      s.set_delay = reinterpret_cast<void (*)(int)>(sym("ocistub_set_execute_delay_ms"));
      s.open_sessions = reinterpret_cast<int (*)()>(sym("ocistub_open_sessions"));
      s.max_concurrent = reinterpret_cast<int (*)()>(sym("ocistub_max_concurrent_executions"));
      return s;
    }();
    return stub;
  }
};

class OracleSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stub().reset();
    options_.library_names = {QX_OCISTUB_PATH};
    options_.reconnect_interval = std::chrono::milliseconds(0);
  }
  static Stub& stub() { return Stub::Get(); }

  std::unique_ptr<Session> Connected(int max_sessions = 4) {
    options_.max_sessions = max_sessions;
    auto session = CreateOracleSession("qxrep", "secret", "dbhost:1521/ORCLPDB1", options_);
    session->Connect();
    return session;
  }
  static std::string Log() { return stub().log(); }
  // The lines of the log that start with `prefix`.
  static std::vector<std::string> Lines(const std::string& prefix) {
    std::vector<std::string> out;
    const std::string log = Log();
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find('\n', start);
      if (end == std::string::npos) end = log.size();
      const std::string line = log.substr(start, end - start);
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
      start = end + 1;
    }
    return out;
  }

  OracleOptions options_;
};

TEST_F(OracleSessionTest, ConnectsThreadedWithoutAutoCommitAndExposesNames) {
  auto session = Connected();
  EXPECT_TRUE(session->Connected());
  EXPECT_EQ(session->UserName(), "qxrep");
  EXPECT_EQ(session->Server(), "dbhost:1521/ORCLPDB1");
  const auto env = Lines("OCIEnvNlsCreate");
  ASSERT_EQ(env.size(), 1u);
  EXPECT_NE(env[0].find("mode=1"), std::string::npos);  // OCI_THREADED
  const auto logon = Lines("OCILogon2");
  ASSERT_EQ(logon.size(), 1u);
  EXPECT_NE(logon[0].find("user=qxrep password_len=6 server=dbhost:1521/ORCLPDB1 mode=4"),
            std::string::npos);
  EXPECT_EQ(Log().find("secret"), std::string::npos);  // the password is only passed

  auto st = session->NewStatement(SqlId::kDeleteStatusRows);
  st->SetString("host", "WS17");
  st->Execute();
  const auto exec = Lines("OCIStmtExecute");
  ASSERT_EQ(exec.size(), 1u);
  EXPECT_NE(exec[0].find("iters=1 mode=0"), std::string::npos);  // no commit-on-success
  session->Disconnect();
  EXPECT_FALSE(session->Connected());
  EXPECT_EQ(stub().open_sessions(), 0);
}

TEST_F(OracleSessionTest, BindsEachTypeWithItsLengthAndSendsTheTextUnchanged) {
  auto session = Connected();
  auto st = session->NewStatement(SqlId::kInsertSqlHistory);
  platform::LocalTime t;
  t.year = 2024; t.month = 2; t.day = 29; t.hour = 23; t.minute = 59; t.second = 59;
  t.millisecond = 600;  // DATE has whole seconds: rounds up
  st->SetNumber("sql_id", 42);
  st->SetNumber("srvc_id", 7);
  st->SetDateTime("exec_date", platform::EncodeDateTime(t));
  st->SetNumber("exec_time", 12.5);
  st->SetNumber("session_id", 1001);
  st->SetString("host", "WS17");
  st->SetString("ip", "127.0.0.1");
  st->SetString("orauser", "SCOTT");
  st->SetString("service_name", "ORCL");
  st->SetString("sid", "");
  st->SetString("program", std::string(2000, 'p'));
  st->SetString("username", "o'brien \xE9");
  st->Execute();

  const std::string log = Log();
  EXPECT_NE(log.find("OCIStmtPrepare2 language=1 text=" +
                     JoinLines(OracleText(SqlId::kInsertSqlHistory)) + "\nOCIBindByName"),
            std::string::npos);
  EXPECT_NE(log.find("OCIBindByName :sql_id type=4 size=8 ind"), std::string::npos);
  EXPECT_NE(log.find("OCIBindByName :exec_date type=156 size=8 ind"), std::string::npos);
  EXPECT_NE(log.find("OCIBindByName :host type=1 size=4 ind"), std::string::npos);
  EXPECT_NE(log.find("OCIBindByName :sid type=1 size=0 ind"), std::string::npos);
  EXPECT_NE(log.find("OCIBindByName :program type=1 size=2000 ind"), std::string::npos);
  EXPECT_NE(log.find("OCIBindByName :username type=1 size=9 ind"), std::string::npos);
  const auto exec = Lines("OCIStmtExecute");
  ASSERT_EQ(exec.size(), 1u);
  EXPECT_NE(exec[0].find(":exec_date=2024-03-01 00:00:00"), std::string::npos) << exec[0];
  EXPECT_NE(exec[0].find(":exec_time=12.5"), std::string::npos);
  EXPECT_NE(exec[0].find(":session_id=1001"), std::string::npos);
  EXPECT_NE(exec[0].find(":username='o'brien \xE9'"), std::string::npos);
  EXPECT_EQ(Lines("OCIStmtRelease").size(), 1u);
}

TEST_F(OracleSessionTest, OutputBindIsBoundOnceForBothOccurrencesAndReadBack) {
  auto session = Connected();
  auto st = session->NewStatement(SqlId::kInsertSql);
  st->SetNumber("sqlId", 0);
  st->DeclareOutputNumber("sqlId");
  st->SetString("sqlhash", "1691536254716129106186623711312080194");
  st->SetString("sqltext", "SELECT 1 FROM DUAL");
  st->SetString("sqltext1", "");
  st->SetString("sqltext2", "");
  st->SetString("sqltext3", "");
  stub().set_output("SQLID", 314159);
  st->Execute();
  EXPECT_EQ(st->OutputNumber("sqlId"), 314159);
  EXPECT_EQ(st->OutputNumber("SQLID"), 314159);  // names are case-insensitive
  EXPECT_EQ(Lines("OCIBindByName :sqlId ").size(), 1u);
  EXPECT_NE(Log().find("OCIBindByName :sqlhash type=1 size=37"), std::string::npos);
  EXPECT_THROW(st->OutputNumber("sqlhash"), RepositoryError);  // not an output

  // Binds stay set: a second execution sends the same values again.
  stub().set_output("SQLID", 2);
  st->Execute();
  EXPECT_EQ(st->OutputNumber("sqlId"), 2);
  EXPECT_EQ(Lines("OCIStmtExecute").size(), 2u);
}

TEST_F(OracleSessionTest, QueryReadsColumnsByNameInAnyCase) {
  auto session = Connected();
  stub().queue_result("ID:2:22,NAME:1:30,ORACLE_HOST:1:100,WORK_PORT:2:22,CREATED:12:7",
                      "3|orcl|127.0.0.1|1522|2024-05-06 07:08:09\n"
                      "4|\\N| 12 |\\N|\\N");
  auto q = session->NewQuery(SqlId::kLoadService);
  EXPECT_TRUE(q->HasParam("NAME"));
  EXPECT_TRUE(q->HasParam("name"));
  EXPECT_FALSE(q->HasParam("service_id"));
  q->SetString("name", "ORCL");
  q->Open();
  EXPECT_EQ(q->RowCount(), 2);
  ASSERT_FALSE(q->Eof());
  EXPECT_EQ(q->FieldAsNumber("id"), 3);
  EXPECT_EQ(q->FieldAsString("Name"), "orcl");
  EXPECT_EQ(q->FieldAsString("work_port"), "1522");
  EXPECT_EQ(q->FieldAsString("created"), "2024-05-06 07:08:09");
  EXPECT_EQ(q->FirstAsInteger(), 3);
  EXPECT_THROW(q->FieldAsString("no_such_column"), RepositoryError);
  q->Next();
  EXPECT_EQ(q->FieldAsString("name"), "");    // NULL
  EXPECT_EQ(q->FieldAsNumber("work_port"), 0);  // NULL
  EXPECT_EQ(q->FieldAsNumber("oracle_host"), 12);  // text holding a number
  q->Next();
  EXPECT_TRUE(q->Eof());
  EXPECT_THROW(q->FieldAsNumber("id"), RepositoryError);  // no current row
  q->Close();
  EXPECT_EQ(q->RowCount(), 0);

  // Numbers and dates are defined as doubles and OCIDate, text with room to widen.
  const std::string log = Log();
  EXPECT_NE(log.find("OCIDefineByPos 1 type=4 size=8"), std::string::npos);
  EXPECT_NE(log.find("OCIDefineByPos 2 type=1 size=256"), std::string::npos);
  EXPECT_NE(log.find("OCIDefineByPos 5 type=156 size=8"), std::string::npos);
  EXPECT_NE(log.find("iters=0"), std::string::npos);
  EXPECT_NE(log.find("OCIAttrSet type=4 attr=11 value=100"), std::string::npos);  // prefetch
}

TEST_F(OracleSessionTest, FreeQueryBindsARepeatedNameOnce) {
  auto session = Connected();
  stub().queue_result("COUNT(*):2:22", "1");
  auto q = session->NewFreeQuery(
      "select count(*) from dual where TO_CHAR(:CONN_TIME,'HH24:MI') > '08:00' "
      "and :conn_time < sysdate -- :not_a_bind\n");
  ASSERT_TRUE(q->HasParam("conn_time"));
  EXPECT_FALSE(q->HasParam("MI"));          // inside a literal
  EXPECT_FALSE(q->HasParam("not_a_bind"));  // inside a comment
  q->SetDateTime("CONN_TIME", 45000.5);
  q->Open();
  EXPECT_EQ(q->FirstAsInteger(), 1);
  EXPECT_EQ(Lines("OCIBindByName").size(), 1u);
}

TEST_F(OracleSessionTest, ServerErrorsCarryTheOraMessageAndRollBack) {
  auto session = Connected();
  stub().fail_next("OCIStmtExecute", 1, "ORA-00001: unique constraint (QX.PK) violated");
  auto st = session->NewStatement(SqlId::kUpdateStatusRow);
  st->SetNumber("service_id", 1);
  st->SetString("host", "WS17");
  try {
    st->Execute();
    FAIL() << "no error";
  } catch (const RepositoryError& e) {
    EXPECT_STREQ(e.what(), "ORA-00001: unique constraint (QX.PK) violated");
  }
  EXPECT_EQ(Lines("OCITransRollback").size(), 1u);
  EXPECT_EQ(Lines("OCIStmtRelease").size(), 1u);  // the handle is released on failure too
  EXPECT_TRUE(session->Connected());               // an ordinary error keeps the session

  // A name that is not in the text is the server's ORA-01036, not a crash.
  auto q = session->NewQuery(SqlId::kNextSessionId);
  q->SetNumber("missing", 1);
  EXPECT_THROW(q->Open(), RepositoryError);
  st->Execute();  // the same statement works afterwards
}

TEST_F(OracleSessionTest, UnsetVariableIsRefusedBeforeAnythingIsSent) {
  // Cached statement handles keep the previous use's bindings, so a variable left unset
  // would read freed memory rather than fail; it must be caught here.
  auto session = Connected();
  auto st = session->NewStatement(SqlId::kUpdateStatusRow);
  st->SetNumber("service_id", 1);
  try {
    st->Execute();
    FAIL() << "no error";
  } catch (const RepositoryError& e) {
    EXPECT_STREQ(e.what(), "Bind variable :HOST is not set");
  }
  EXPECT_TRUE(Lines("OCIStmtPrepare2").empty());
  auto q = session->NewFreeQuery("select count(*) from dual where :a = :b");
  q->SetNumber("A", 1);
  EXPECT_THROW(q->Open(), RepositoryError);
  EXPECT_TRUE(Lines("OCIStmtPrepare2").empty());
}

TEST_F(OracleSessionTest, FailedConnectLeavesTheSessionUnconnected) {
  stub().fail_next("OCILogon2", 1017, "ORA-01017: invalid username/password; logon denied");
  auto session = CreateOracleSession("qxrep", "wrong", "dbhost/ORCL", options_);
  try {
    session->Connect();
    FAIL() << "no error";
  } catch (const RepositoryError& e) {
    EXPECT_STREQ(e.what(), "ORA-01017: invalid username/password; logon denied");
  }
  EXPECT_FALSE(session->Connected());
  EXPECT_EQ(stub().open_sessions(), 0);
  auto st = session->NewStatement(SqlId::kDeleteStatusRows);
  st->SetString("host", "x");
  EXPECT_THROW(st->Execute(), RepositoryError);
  EXPECT_TRUE(Lines("OCIStmtPrepare2").empty());  // nothing sent without a session
  session->Connect();                              // a later attempt may succeed
  EXPECT_TRUE(session->Connected());
}

TEST_F(OracleSessionTest, ReconnectsAfterTheServerComesBack) {
  auto session = Connected();
  auto run = [&session] {
    auto st = session->NewStatement(SqlId::kUpdateStatusRow);
    st->SetNumber("service_id", 1);
    st->SetString("host", "WS17");
    st->Execute();
  };
  run();
  stub().set_down(1);
  try {
    run();
    FAIL() << "no error";
  } catch (const RepositoryError& e) {
    EXPECT_STREQ(e.what(), "ORA-03113: end-of-file on communication channel");
  }
  try {
    run();
    FAIL() << "no error";
  } catch (const RepositoryError& e) {
    EXPECT_STREQ(e.what(), "ORA-12541: TNS:no listener");
  }
  EXPECT_FALSE(session->Connected());
  EXPECT_EQ(stub().open_sessions(), 0);  // the dead session was logged off

  stub().set_down(0);
  run();
  EXPECT_TRUE(session->Connected());
  EXPECT_EQ(stub().open_sessions(), 1);
}

TEST_F(OracleSessionTest, FailsFastWhileReconnectionIsBackingOff) {
  options_.reconnect_interval = std::chrono::hours(1);
  auto session = Connected();
  stub().set_down(1);
  auto q = session->NewQuery(SqlId::kNextSessionId);
  EXPECT_THROW(q->Open(), RepositoryError);  // 03113 on the dead session
  EXPECT_THROW(q->Open(), RepositoryError);  // 12541 from one logon attempt
  stub().set_down(0);
  try {
    q->Open();
    FAIL() << "no error";
  } catch (const RepositoryError& e) {
    EXPECT_STREQ(e.what(), "ORA-12541: TNS:no listener");  // the last attempt's message
  }
  EXPECT_EQ(Lines("OCILogon2").size(), 2u);  // the initial one and one retry only
}

TEST_F(OracleSessionTest, IdleSessionIsPingedAndReplacedBeforeUse) {
  options_.validate_after_idle = std::chrono::milliseconds(0);
  auto session = Connected();
  stub().set_down(1);
  stub().set_down(0);  // the server restarted while the session sat idle
  stub().queue_result("NEXTVAL:2:22", "77");
  auto q = session->NewQuery(SqlId::kNextSessionId);
  q->Open();  // no error: the dead session is found by the ping, not by the query
  EXPECT_EQ(q->FirstAsNumber(), 77);
  EXPECT_EQ(Lines("OCIPing").size(), 1u);
  EXPECT_EQ(Lines("OCILogon2").size(), 2u);
}

TEST_F(OracleSessionTest, PoolRunsConcurrentStatementsOnSeparateSessions) {
  auto session = Connected(/*max_sessions=*/3);
  stub().set_delay(50);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&session, &failures, i] {
      try {
        auto st = session->NewStatement(SqlId::kUpdateStatusRow);
        st->SetNumber("service_id", i);
        st->SetString("host", "WS17");
        st->Execute();
      } catch (const RepositoryError&) {
        ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(stub().max_concurrent(), 3);
  EXPECT_GE(stub().max_concurrent(), 2);
  EXPECT_LE(stub().open_sessions(), 3);
  session->Disconnect();
  EXPECT_EQ(stub().open_sessions(), 0);
}

TEST(OracleLibraryTest, MissingClientLibraryTellsWhatToInstall) {
  OracleOptions options;
  options.library_names = {"/nonexistent/libclntsh.so", "libclntsh-absent.so.99"};
  auto session = CreateOracleSession("u", "p", "h/s", options);
  try {
    session->Connect();
    FAIL() << "no error";
  } catch (const RepositoryError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("/nonexistent/libclntsh.so"), std::string::npos) << m;
    EXPECT_NE(m.find("Oracle Instant Client Basic or Basic Light"), std::string::npos) << m;
    EXPECT_NE(m.find("LD_LIBRARY_PATH"), std::string::npos) << m;
    EXPECT_NE(m.find("ldconfig"), std::string::npos) << m;
  }
  EXPECT_FALSE(session->Connected());
}

TEST(OracleLibraryTest, LibraryWithoutTheEntryPointsIsRejected) {
  OracleOptions options;
  options.library_names = {"libm.so.6"};  // loads, but is no Oracle client
  auto session = CreateOracleSession("u", "p", "h/s", options);
  try {
    session->Connect();
    FAIL() << "no error";
  } catch (const RepositoryError& e) {
    EXPECT_NE(std::string(e.what()).find("lacks the entry points"), std::string::npos)
        << e.what();
  }
}

TEST(OracleBindNamesTest, FindsBindsOutsideLiteralsCommentsAndAssignments) {
  using oracle::BindNames;
  EXPECT_EQ(BindNames(JoinLines(OracleText(SqlId::kInsertSql))),
            (std::vector<std::string>{"SQLID", "SQLHASH", "SQLTEXT", "SQLTEXT1", "SQLTEXT2",
                                      "SQLTEXT3"}));
  EXPECT_EQ(BindNames("begin x := :a; /* :b */ y := ':c'''; end; -- :d"),
            (std::vector<std::string>{"A"}));
  EXPECT_EQ(BindNames("select \":e\" from t where a = :\"MixedCase\" and b = :1"),
            (std::vector<std::string>{"MixedCase", "1"}));
  EXPECT_EQ(BindNames("select q'[it's :x]', Q'{:y}' from t where a=:b"),
            (std::vector<std::string>{"B"}));
  EXPECT_TRUE(BindNames("select ':unterminated from dual").empty());
  EXPECT_TRUE(BindNames("where a = :").empty());
}

}  // namespace
}  // namespace qx::repository
