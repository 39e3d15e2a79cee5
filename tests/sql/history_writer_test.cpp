// The history writer on a real (SQLite) repository: a group goes in as one transaction, and
// whatever undoes that transaction leaves neither rows, ids nor statements behind; rows held
// only in memory reach the spool when a stop finds the repository unwritable.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sql/history_writer.h"
#include "sql/spool.h"
#include "sql/sql_hash.h"
#include "store_support.h"

namespace qx::sql {
namespace {

using test::Row;
using test::Rows;
using test::ServiceFixture;

// Rows of connection stream `stream`, numbered from `first_seq`, their statements carried
// with them (not yet catalogued) and cycling through `texts`.
std::vector<HistoryRow> StreamRows(uint64_t stream, uint64_t first_seq, int count,
                                   const std::vector<std::string>& texts, int time_step = 10) {
  std::vector<HistoryRow> rows;
  for (int i = 0; i < count; ++i) {
    HistoryRow r;
    r.sql_text = texts[static_cast<size_t>(i) % texts.size()];
    r.sql_hash = GetSQLHash(r.sql_text);
    r.srvc_id = 1;
    r.exec_date = 46365.5 + i / 86400.0;
    r.exec_time = time_step * (static_cast<int>(first_seq) + i);
    r.session_id = 900 + static_cast<double>(stream);
    r.stream_key = stream;
    r.stream_seq = first_seq + static_cast<uint64_t>(i);
    r.host = "WS17";
    r.program = "SQLPLUS.EXE";
    rows.push_back(std::move(r));
  }
  return rows;
}

std::unique_ptr<Spool> OpenSpool(ServiceFixture& f) {
  std::string error;
  auto spool = Spool::Open(f.dir.File("spool"), 64u << 20, [](const std::string&) {}, &error);
  EXPECT_NE(spool, nullptr) << error;
  return spool;
}

class HistoryWriterGroups : public ::testing::Test {
 protected:
  std::string Column(const std::string& sql) {
    std::string out;
    for (const Row& row : Rows(f, sql)) out += (out.empty() ? "" : ",") + row[0];
    return out;
  }
  ServiceFixture f;
  const std::vector<std::string> texts = {"SELECT 1 FROM EMP", "SELECT 2 FROM DEPT",
                                          "SELECT 3 FROM BONUS"};
};

TEST_F(HistoryWriterGroups, TwoConnectionsInOneGroupGetContiguousIdsOneCatalogueRowEachAndMarks) {
  std::vector<HistoryRow> a = StreamRows(7, 1, 5, texts);
  std::vector<HistoryRow> b = StreamRows(8, 41, 3, {texts[1], "SELECT 4 FROM SALGRADE"});
  // Another instance has catalogued one of them already; this one's cache does not know it.
  f.Exec("insert into qx_client_sql (id, sqlhash, sqltext) values (100, '" +
         GetSQLHash("SELECT 4 FROM SALGRADE") + "', 'SELECT 4 FROM SALGRADE')");
  f.svc.fingerprintColumns = true;
  {
    HistoryWriter writer(f.svc, OpenSpool(f), "host:spool");
    writer.Enqueue(a);
    writer.Enqueue(b);
    writer.Drain();
  }
  EXPECT_EQ(Column("select id from qx_client_sql_history order by id"), "1,2,3,4,5,6,7,8");
  EXPECT_EQ(Column("select exec_time from qx_client_sql_history order by id"),
            "10,20,30,40,50,410,420,430");
  EXPECT_EQ(Column("select value from qx_sequences where name = 'qx_client_sqlhist_id_seq'"), "8");
  // Each statement once, whichever row of the group brought it first; every row names the
  // statement it carried, and the cache learnt the ids the repository holds.
  // The new ones take one block of the sequence, in the order they first came, with their
  // fingerprints; the one found is not added again.
  EXPECT_EQ(Column("select id || '=' || sqltext || '/' || coalesce(fingerprint, '-') from "
                   "qx_client_sql order by id"),
            "1=SELECT 1 FROM EMP/select ? from emp,2=SELECT 2 FROM DEPT/select ? from dept,"
            "3=SELECT 3 FROM BONUS/select ? from bonus,100=SELECT 4 FROM SALGRADE/-");
  EXPECT_EQ(Column("select value from qx_sequences where name = 'qx_client_sql_id_seq'"), "3");
  EXPECT_EQ(Column("select sql_id from qx_client_sql_history where exec_time = 420"), "100");
  EXPECT_EQ(Column("select count(*) from qx_client_sql_history h join qx_client_sql s on "
                   "s.id = h.sql_id where h.exec_time in (20, 410, 430) and "
                   "s.sqltext = 'SELECT 2 FROM DEPT'"),
            "3");
  for (const std::string& text : {texts[0], texts[1], texts[2]}) {
    auto cached = f.svc.sqlCache->Find(GetSQLHash(text));
    ASSERT_TRUE(cached) << text;
    EXPECT_EQ(Column("select id from qx_client_sql where sqltext = '" + text + "'"),
              std::to_string(static_cast<int>(cached->id)));
  }
  EXPECT_EQ(Column("select instance || '=' || seq from qx_spool_mark order by instance"),
            "host:spool#7=5,host:spool#8=43");
  EXPECT_TRUE(f.ErrorLog().empty());
}

// A group whose statements are all new: they go into the catalogue many to a statement, and
// each row must still name its own statement, long texts split over the text columns.
TEST_F(HistoryWriterGroups, ManyNewStatementsInOneGroupEachKeepTheirOwnTextAndId) {
  std::vector<std::string> many;
  for (int i = 0; i < 70; ++i) {
    many.push_back("SELECT " + std::to_string(i) + " FROM T" + std::to_string(i) +
                   (i % 9 == 0 ? " WHERE X = '" + std::string(2500, 'x') + "'" : ""));
  }
  {
    HistoryWriter writer(f.svc, OpenSpool(f), "host:spool");
    writer.Enqueue(StreamRows(7, 1, 70, many));
    writer.Drain();
  }
  EXPECT_EQ(Column("select count(*) from qx_client_sql"), "70");
  EXPECT_EQ(Column("select value from qx_sequences where name = 'qx_client_sql_id_seq'"), "70");
  // Row i (exec_time 10 * (i + 1)) carries statement i, stored whole across its pieces.
  EXPECT_EQ(Column("select count(*) from qx_client_sql_history h join qx_client_sql s on "
                   "s.id = h.sql_id where s.id = h.exec_time / 10 and s.sqltext || "
                   "coalesce(s.sqltext1, '') = 'SELECT ' || (s.id - 1) || ' FROM T' || "
                   "(s.id - 1) || case when (s.id - 1) % 9 = 0 then ' WHERE X = ''' || "
                   "replace(hex(zeroblob(1250)), '00', 'xx') || '''' else '' end"),
            "70");
  EXPECT_EQ(Column("select max(length(sqltext)) || ',' || max(length(sqltext1)) from "
                   "qx_client_sql"),
            "2000,531");
  EXPECT_TRUE(f.ErrorLog().empty());
}

TEST_F(HistoryWriterGroups, ARefusedRowUndoesTheGroupThenEveryOtherRowIsWrittenOnceInOrder) {
  f.Exec("create trigger refuse before insert on qx_client_sql_history when new.exec_time = 30 "
         "begin select raise(abort, 'constraint failed: the row is refused'); end;");
  {
    HistoryWriter writer(f.svc, OpenSpool(f), "host:spool");
    writer.Enqueue(StreamRows(7, 1, 6, texts));
    writer.Drain();
  }
  // The rolled-back group took no ids and left no statements: the rows written one by one
  // after it number from 1 and each statement is in the catalogue once.
  EXPECT_EQ(Column("select id || ':' || exec_time from qx_client_sql_history order by id"),
            "1:10,2:20,3:40,4:50,5:60");
  EXPECT_EQ(Column("select count(*) from qx_client_sql"), "3");
  EXPECT_EQ(Column("select count(distinct sqlhash) from qx_client_sql"), "3");
  EXPECT_EQ(Column("select count(*) from qx_client_sql_history where sql_id not in "
                   "(select id from qx_client_sql)"),
            "0");
  EXPECT_EQ(Column("select seq from qx_spool_mark"), "6");
  const std::vector<std::string> want = {
      "Insert SQL History exception: constraint failed: the row is refused"};
  EXPECT_EQ(f.ErrorLog(), want);
}

TEST_F(HistoryWriterGroups, RowsOnlyInMemoryGoToTheSpoolAtAStopDuringAnOutageAndArriveOnce) {
  f.Exec("create trigger offline before insert on qx_client_sql_history "
         "begin select raise(abort, 'the repository is offline'); end;");
  {
    HistoryWriter writer(f.svc, OpenSpool(f), "host:spool");
    writer.Enqueue(StreamRows(7, 1, 4, texts), /*journalled=*/false);
    // The stop comes once the writer has met the outage.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (f.ErrorLog().empty() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(f.ErrorLog().empty());
  }
  EXPECT_EQ(Column("select count(*) from qx_client_sql_history"), "0");
  f.Exec("drop trigger offline");
  {
    HistoryWriter writer(f.svc, OpenSpool(f), "host:spool");
    writer.Drain();
  }
  EXPECT_EQ(Column("select exec_time from qx_client_sql_history order by id"), "10,20,30,40");
  // And a third start finds nothing left to write.
  { HistoryWriter writer(f.svc, OpenSpool(f), "host:spool"); }
  EXPECT_EQ(Column("select count(*) from qx_client_sql_history"), "4");
}

}  // namespace
}  // namespace qx::sql
