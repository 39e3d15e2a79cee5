// Oracle-style date conditions on the embedded repository: dual, sysdate and to_char.
#include <gtest/gtest.h>

#include "platform/datetime.h"
#include "repository/repository.h"
#include "repository/session_factory.h"
#include "repository/sqlite/sqlite_functions.h"
#include "support/test_util.h"

namespace qx::repository {
namespace {

using qx::test::TempDir;

class DateConditions : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = CreateSession(ParseConnectString("sqlite:repo.db", dir_.Dir()), true);
    session_->Connect();
  }
  // What the connection filter does: bind CONN_TIME when the condition has it.
  int Count(const std::string& condition, const platform::LocalTime* conn_time) {
    auto q = session_->NewFreeQuery("select count(*) from dual where " + condition);
    if (conn_time && q->HasParam("CONN_TIME")) {
      q->SetDateTime("CONN_TIME", platform::EncodeDateTime(*conn_time));
    }
    q->Open();
    return q->FirstAsInteger();
  }
  TempDir dir_;
  std::unique_ptr<Session> session_;
};

TEST_F(DateConditions, WorkingHoursOnABoundConnectionTime) {
  const std::string cond = "TO_CHAR(:CONN_TIME,'HH24') BETWEEN '08' AND '17'";
  const platform::LocalTime evening{2026, 12, 9, 18, 30, 0, 0};
  const platform::LocalTime morning{2026, 12, 9, 8, 0, 0, 0};
  const platform::LocalTime late{2026, 12, 9, 17, 59, 59, 0};
  EXPECT_EQ(Count(cond, &evening), 0);
  EXPECT_EQ(Count(cond, &morning), 1);
  EXPECT_EQ(Count(cond, &late), 1);
}

TEST_F(DateConditions, WorkingDaysOnABoundSundayAndOnSysdate) {
  const platform::LocalTime sunday{2026, 12, 6, 10, 0, 0, 0};
  const platform::LocalTime monday{2026, 12, 7, 10, 0, 0, 0};
  const platform::LocalTime saturday{2026, 12, 12, 10, 0, 0, 0};
  const std::string bound = "TO_CHAR(:CONN_TIME,'D') NOT IN ('1','7')";
  EXPECT_EQ(Count(bound, &sunday), 0);
  EXPECT_EQ(Count(bound, &saturday), 0);
  EXPECT_EQ(Count(bound, &monday), 1);
  EXPECT_EQ(Count("TO_CHAR(:CONN_TIME,'DY') = 'SUN'", &sunday), 1);
  EXPECT_EQ(Count("TO_NUMBER(TO_CHAR(:CONN_TIME,'HH24')) >= 9", &sunday), 1);

  // The SQL filter form: ":date" replaced by "sysdate", nothing bound.
  const int today = platform::DayOfWeek(platform::LocalNow());
  const bool weekday = today != 1 && today != 7;
  EXPECT_EQ(Count("to_char(sysdate,'D') not in ('1','7')", nullptr), weekday ? 1 : 0);
  EXPECT_EQ(Count("TO_CHAR(sysdate,'D') = '" + std::to_string(today) + "'", nullptr), 1);
  EXPECT_EQ(Count("to_char(sysdate,'YYYY') = '" +
                      std::to_string(platform::LocalNow().year) + "'", nullptr), 1);
}

TEST_F(DateConditions, BrokenConditionsFail) {
  EXPECT_THROW(Count("to_char(sysdate,'QQ') = '1'", nullptr), RepositoryError);
  EXPECT_THROW(Count("to_char('tomorrow','D') = '1'", nullptr), RepositoryError);
  EXPECT_THROW(Count("no_such_function(sysdate) = 1", nullptr), RepositoryError);
  EXPECT_THROW(Count("to_number('8 am') = 8", nullptr), RepositoryError);
}

TEST(OracleToChar, FormatsTheElementsAsOracleDoes) {
  const platform::LocalTime t{2026, 3, 1, 15, 4, 9, 0};  // a Sunday afternoon
  auto fmt = [&](const std::string& f) {
    std::string out, error;
    EXPECT_TRUE(sqlite::OracleToChar(t, f, &out, &error)) << error;
    return out;
  };
  EXPECT_EQ(fmt("YYYY-MM-DD HH24:MI:SS"), "2026-03-01 15:04:09");
  EXPECT_EQ(fmt("yyyy/mm/dd hh:mi"), "2026/03/01 03:04");
  EXPECT_EQ(fmt("HH12 AM"), "03 PM");
  EXPECT_EQ(fmt("D"), "1");
  EXPECT_EQ(fmt("DY Dy dy"), "SUN Sun sun");
  EXPECT_EQ(fmt("MON Mon mon"), "MAR Mar mar");
  EXPECT_EQ(fmt("DAY"), "SUNDAY   ");  // padded to the longest name, as Oracle does
  EXPECT_EQ(fmt("FMDay"), "Sunday");
  EXPECT_EQ(fmt("fmMonth, YY"), "March, 26");
  EXPECT_EQ(fmt("\"week day\" D"), "week day 1");
  EXPECT_EQ(fmt("HH"), "03");
  const platform::LocalTime midnight{2026, 3, 7, 0, 0, 0, 0};  // a Saturday
  std::string out, error;
  ASSERT_TRUE(sqlite::OracleToChar(midnight, "HH D HH24", &out, &error));
  EXPECT_EQ(out, "12 7 00");
  EXPECT_FALSE(sqlite::OracleToChar(midnight, "YYYY Q", &out, &error));
  EXPECT_NE(error.find("Q"), std::string::npos);
}

}  // namespace
}  // namespace qx::repository
