#include <gtest/gtest.h>

#include "platform/datetime.h"

namespace qx::platform {
namespace {

TEST(DateTime, EncodesAndDecodesAroundTheEpoch) {
  LocalTime t{1899, 12, 30, 0, 0, 0, 0};
  EXPECT_DOUBLE_EQ(EncodeDateTime(t), 0.0);
  LocalTime evening{2026, 12, 9, 18, 0, 0, 0};
  const double d = EncodeDateTime(evening);
  EXPECT_DOUBLE_EQ(d - static_cast<long long>(d), 0.75);
  const LocalTime back = DecodeDateTime(d);
  EXPECT_EQ(back.year, 2026);
  EXPECT_EQ(back.month, 12);
  EXPECT_EQ(back.day, 9);
  EXPECT_EQ(back.hour, 18);
  // 2000-01-01 is day 36526 in this count.
  EXPECT_DOUBLE_EQ(EncodeDateTime(LocalTime{2000, 1, 1, 0, 0, 0, 0}), 36526.0);
}

TEST(DateTime, TimestampShowsTheDateAloneAtMidnight) {
  EXPECT_EQ(FormatTimestamp(LocalTime{2026, 3, 5, 0, 0, 0, 0}), "2026-03-05");
  EXPECT_EQ(FormatTimestamp(LocalTime{2026, 3, 5, 0, 0, 1, 0}), "2026-03-05 00:00:01");
  EXPECT_EQ(FormatTimestamp(LocalTime{2026, 3, 5, 13, 4, 59, 999}), "2026-03-05 13:04:59");
}

TEST(DateTime, DayOfWeekCountsSundayAsOne) {
  EXPECT_EQ(DayOfWeek(LocalTime{2026, 12, 6, 12, 0, 0, 0}), 1);   // a Sunday
  EXPECT_EQ(DayOfWeek(LocalTime{2026, 12, 12, 12, 0, 0, 0}), 7);  // a Saturday
}

}  // namespace
}  // namespace qx::platform
