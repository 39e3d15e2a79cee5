// SQL filter decisions, comma-list matching, date-condition query texts and exec_time reading.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/sql_filters.h"

namespace qx::sql {
namespace {

service::TSQLFilter Filter(double id, std::string type) {
  service::TSQLFilter f;
  f.id = id;
  f.filter_type = std::move(type);
  return f;
}

TEST(MatchesFilterList, ItemsArePlainTrimmedSubstrings) {
  EXPECT_TRUE(MatchesFilterList("TAB", "SELECT * FROM TABLE1"));
  EXPECT_TRUE(MatchesFilterList(" sys. , dbms_ ", "SELECT * FROM SYS.OBJ$"));  // items upper-cased
  EXPECT_TRUE(MatchesFilterList("X,,DBMS_", "BEGIN DBMS_OUTPUT.DISABLE; END;"));
  EXPECT_TRUE(MatchesFilterList("FROM EMP", "SELECT * FROM EMP"));
  EXPECT_FALSE(MatchesFilterList("FROM  EMP", "SELECT * FROM EMP"));
  EXPECT_FALSE(MatchesFilterList(" , ,, ", "SELECT 1 FROM DUAL"));
  EXPECT_FALSE(MatchesFilterList("", "SELECT"));
  EXPECT_FALSE(MatchesFilterList("SELECT", ""));
  EXPECT_TRUE(MatchesFilterList("A,B,SELECT", "SELECT"));  // the last item is tested too
}

TEST(DateExprQueryText, ReplacesDateInAnyCase) {
  EXPECT_EQ(DateExprQueryText("to_char(:date,'D') not in ('1','7')"),
            "select count(*) from dual where to_char(sysdate,'D') not in ('1','7')");
  EXPECT_EQ(DateExprQueryText(":Date > :DATE - 1"),
            "select count(*) from dual where sysdate > sysdate - 1");
}

TEST(DecideSQLFilters, NoFiltersRecordsEverythingSilently) {
  const SQLFilterDecision d = DecideSQLFilters({}, "select 1 from dual", 5, nullptr);
  EXPECT_FALSE(d.excluded);
  EXPECT_EQ(d.traceLine, "");
}

TEST(DecideSQLFilters, ExcludeByStatementWords) {
  service::TSQLFilter f = Filter(7, "EXCLUDE");
  f.sqlstatement = "SYS.,DBMS_";
  SQLFilterDecision d = DecideSQLFilters({f}, "select * from sys.obj$", 0, nullptr);
  EXPECT_TRUE(d.excluded);
  EXPECT_EQ(d.traceLine, "Excluding previous SQL according to filter # 7 : SELECT * FROM SYS.OBJ$");
  d = DecideSQLFilters({f}, "select * from emp", 0, nullptr);
  EXPECT_FALSE(d.excluded);
  EXPECT_EQ(d.traceLine, "");
}

TEST(DecideSQLFilters, IncludeByObjectList) {
  service::TSQLFilter f = Filter(8, "INCLUDE");
  f.object_list = "EMP";
  SQLFilterDecision d = DecideSQLFilters({f}, "select * from emp", 0, nullptr);
  EXPECT_FALSE(d.excluded);
  EXPECT_EQ(d.traceLine, "Including previous SQL according to filter # 8 : SELECT * FROM EMP");
  d = DecideSQLFilters({f}, "select * from dept", 0, nullptr);
  EXPECT_TRUE(d.excluded);
  EXPECT_EQ(d.traceLine, "");
}

TEST(DecideSQLFilters, ExclusionWinsAndInertTypesDoNotCount) {
  service::TSQLFilter include = Filter(1, "INCLUDE");
  include.object_list = "EMP";
  service::TSQLFilter exclude = Filter(2, "EXCLUDE");
  exclude.sqlstatement = "SELECT";
  SQLFilterDecision d = DecideSQLFilters({include, exclude}, "select * from emp", 0, nullptr);
  EXPECT_TRUE(d.excluded);
  EXPECT_EQ(d.traceLine.rfind("Excluding previous SQL according to filter # 2", 0), 0u);
  service::TSQLFilter other = Filter(3, "KEEP");
  other.object_list = "NOTHING";
  d = DecideSQLFilters({other}, "select * from emp", 0, nullptr);
  EXPECT_FALSE(d.excluded);
}

TEST(DecideSQLFilters, FailingDateConditionStillCountsAsAnInclusionFilter) {
  service::TSQLFilter f = Filter(4, "INCLUDE");
  f.exec_date_expr = "to_char(:date,'HH24') > '18'";
  f.sqlstatement = "NEVER_REACHED";
  std::vector<std::string> asked;
  const auto check = [&](const std::string& q) {
    asked.push_back(q);
    return false;
  };
  const SQLFilterDecision d = DecideSQLFilters({f}, "select 1 from dual", 0, check);
  EXPECT_TRUE(d.excluded);
  EXPECT_EQ(asked, std::vector<std::string>{
                       "select count(*) from dual where to_char(sysdate,'HH24') > '18'"});
}

TEST(DecideSQLFilters, ExecTimeThreshold) {
  service::TSQLFilter f = Filter(5, "INCLUDE");
  ASSERT_TRUE(service::SetExecTime(f, "1000"));
  EXPECT_FALSE(DecideSQLFilters({f}, "select 1 from dual", 1000, nullptr).excluded);
  EXPECT_TRUE(DecideSQLFilters({f}, "select 1 from dual", 999, nullptr).excluded);
  EXPECT_TRUE(DecideSQLFilters({f}, "select 1 from dual", 0, nullptr).excluded);
}

TEST(DecideSQLFilters, ExecTimeThatIsNotANumberNeverHoldsAndNeverThrows) {
  service::TSQLFilter typo = Filter(6, "EXCLUDE");
  EXPECT_FALSE(service::SetExecTime(typo, "10O0"));
  EXPECT_EQ(typo.exec_time, "10O0");  // kept for the load-time report
  service::TSQLFilter include = Filter(7, "INCLUDE");
  EXPECT_FALSE(service::SetExecTime(include, "fast"));
  SQLFilterDecision d;
  EXPECT_NO_THROW(d = DecideSQLFilters({typo}, "select 1 from dual", 1e9, nullptr));
  EXPECT_FALSE(d.excluded);
  d = DecideSQLFilters({include}, "select 1 from dual", 1e9, nullptr);
  EXPECT_TRUE(d.excluded);  // an inclusion filter that can never match
}

TEST(ParseDecimalNumber, PlainDecimalsOnly) {
  EXPECT_EQ(service::ParseDecimalNumber(" 250 "), 250);
  EXPECT_EQ(service::ParseDecimalNumber("+1.5"), 1.5);
  EXPECT_EQ(service::ParseDecimalNumber("-3"), -3);
  EXPECT_EQ(service::ParseDecimalNumber("1e3"), 1000);
  for (const char* bad : {"", "  ", "1,5", "inf", "nan", "0x10", "12ms", "1 000", "--1"}) {
    EXPECT_FALSE(service::ParseDecimalNumber(bad)) << bad;
  }
  service::TSQLFilter f;
  EXPECT_TRUE(service::SetExecTime(f, ""));
  EXPECT_FALSE(f.execTimeValid);
}

}  // namespace
}  // namespace qx::sql
