// Statement extraction from client packets: keyword priority, framing cut-off, tail clean-up
// and the skip mark.
#include <gtest/gtest.h>

#include <string>

#include "sql/statement_extract.h"

namespace qx::sql {
namespace {

using namespace std::string_literals;

void ExpectExtract(const std::string& packet, const std::string& statement, bool skip) {
  const ExtractedStatement r = ExtractStatement(packet);
  EXPECT_EQ(r.statement, statement) << "packet: " << packet;
  EXPECT_EQ(r.skip, skip) << "packet: " << packet;
}

TEST(ExtractStatement, KeepsThePacketsOwnCase) {
  ExpectExtract("select * from emp", "select * from emp", false);
  ExpectExtract("SELECT * FROM EMP", "SELECT * FROM EMP", false);
}

TEST(ExtractStatement, CutsFramingBeforeTheKeywordAndAtTheFirstLowControlByte) {
  ExpectExtract("\x00\x11\x03^\x05select 1 from dual\x01\x00\x02"s, "select 1 from dual", false);
  ExpectExtract("select 1 from dual\t\r\n", "select 1 from dual", false);
  // Tabs and line breaks inside the text stay; 0x08 ends it.
  ExpectExtract("select a,\tb\nfrom t\x08junk", "select a,\tb\nfrom t", false);
}

TEST(ExtractStatement, KeywordPriorityBeatsPositionInTheText) {
  ExpectExtract("SELECT A FROM T WHERE B = 'x' FOR UPDATE", "UPDATE", true);
  ExpectExtract("SELECT UPDATED_AT FROM T", "UPDATED_AT FROM T", true);
  ExpectExtract("BEGIN UPDATE T SET A=1; END;", "UPDATE T SET A=1; END;", false);
}

TEST(ExtractStatement, RemovesAtSignsLeftByPieceLengthBytes) {
  ExpectExtract("SELECT * FROM T@LINK", "SELECT * FROM TLINK", false);
}

TEST(ExtractStatement, CommitAndRollbackNeedTheirSemicolon) {
  ExpectExtract("COMMIT;", "COMMIT;", false);
  ExpectExtract("COMMIT", "", true);
  ExpectExtract("\x03\x0e\x01ROLLBACK;\x00"s, "ROLLBACK;", false);
}

TEST(ExtractStatement, SkipsExplainPlanOwnBlocksAndRepositoryTables) {
  ExpectExtract("EXPLAIN PLAN FOR SELECT * FROM T", "SELECT * FROM T", true);
  ExpectExtract("SELECT /*$QXC$*/ 1 FROM DUAL", "", true);
  ExpectExtract("select * from qx_sql_filter", "select * from qx_sql_filter", true);
  // The service's own catalogue insert: INSERT outranks BEGIN, so the marker is cut away with
  // the block's head, and the table name alone must keep it out.
  ExpectExtract("begin /*$QXC$*/\n insert into QX_CLIENT_SQL (id) values (1); end;",
                "insert into QX_CLIENT_SQL (id) values (1); end;", true);
}

TEST(ExtractStatement, CutsHighBytesOnlyNearTheEnd) {
  ExpectExtract("select name from t where city = 'M\xFCnchen'",
                "select name from t where city = 'M", false);
  ExpectExtract("select name from t where city = 'M\xFCnchen' and x = 1",
                "select name from t where city = 'M\xFCnchen' and x = 1", false);
  ExpectExtract("select a from b{xyz", "select a from b", false);
  // Exactly 11 characters: the window is the whole statement.
  ExpectExtract("DROP T\x80XYZW", "DROP T", false);
}

TEST(ExtractStatement, IncompleteFragmentsAreSkipped) {
  ExpectExtract("begin p; en", "begin p; en", true);
  ExpectExtract("PING", "", true);
  ExpectExtract("INSERT X VALUES (1)", "INSERT X VALUES (1)", true);
  // Only the row of the statement's own keyword is tested at the end, but the packet-wide
  // test already marks a SELECT without FROM anywhere in the packet.
  ExpectExtract("DELETE FROM T WHERE A IN (SELECT 1)", "DELETE FROM T WHERE A IN (SELECT 1)",
                false);
}

TEST(ExtractStatement, SkipMarkFromThePacketSticksThoughTheStatementIsComplete) {
  // The packet's framing before the keyword carries a repository table name.
  ExpectExtract("QX_SQL\x01SELECT 1 FROM DUAL"s, "SELECT 1 FROM DUAL", true);
}

TEST(FindStatementKeyword, FollowsThePriorityList) {
  EXPECT_EQ(FindStatementKeyword("select x from t; insert"), "INSERT");
  EXPECT_EQ(FindStatementKeyword("merge into t using s"), "MERGE");
  EXPECT_EQ(FindStatementKeyword("rollback"), "");
  EXPECT_EQ(FindStatementKeyword("rollback;"), "ROLLBACK;");
  EXPECT_EQ(FindStatementKeyword("x", {"Y", "X"}), "X");
  EXPECT_EQ(DefaultSqlKeywords().size(), 12u);
  EXPECT_EQ(DefaultSqlKeywords().front(), "INSERT");
  EXPECT_EQ(DefaultSqlKeywords().back(), "ROLLBACK;");
}

TEST(IsIgnoredStatement, ReasonsInOrder) {
  EXPECT_TRUE(IsIgnoredStatement("select * from Qx_Client_Sql_History"));
  EXPECT_TRUE(IsIgnoredStatement("declare x number; begin null; end"));
  EXPECT_TRUE(IsIgnoredStatement("update t where a = 1"));
  EXPECT_TRUE(IsIgnoredStatement("insert t values (1)"));
  EXPECT_TRUE(IsIgnoredStatement("\x01 DROP \x02"));
  EXPECT_FALSE(IsIgnoredStatement("DROP T1"));
  EXPECT_FALSE(IsIgnoredStatement("declare x number; begin null; end;"));
}

// Asked for every execution the decoder finds: the repository's own tables in any letter case
// and EXPLAIN PLAN, nothing else (a prefix cut short at the end of the text, a "Q" alone).
TEST(IsNeverStoredStatement, RepositoryTablesInAnyCaseAndExplainPlan) {
  EXPECT_TRUE(IsNeverStoredStatement("select * from Qx_Client_Sql_History"));
  EXPECT_TRUE(IsNeverStoredStatement("lock table qX_sErViCe_LIST in share mode"));
  EXPECT_TRUE(IsNeverStoredStatement("select qx_session_id_seq.nextval from dual"));
  EXPECT_TRUE(IsNeverStoredStatement("DELETE FROM QQX_SQL_FILTER"));
  EXPECT_TRUE(IsNeverStoredStatement(" \t explain  plan for select 1 from dual"));
  EXPECT_TRUE(IsNeverStoredStatement("begin /*$QXC$*/ null; end;"));
  EXPECT_FALSE(IsNeverStoredStatement("select q, qx, qx_ from t where a = 'qx_sq'"));
  EXPECT_FALSE(IsNeverStoredStatement("select * from qx_clien"));
  EXPECT_FALSE(IsNeverStoredStatement("explain select 1"));
  EXPECT_FALSE(IsNeverStoredStatement("select 'explain plan' from dual"));
  EXPECT_FALSE(IsNeverStoredStatement("SELECT \xd1X_SQL FROM T"));
}

}  // namespace
}  // namespace qx::sql
