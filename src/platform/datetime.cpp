// Date arithmetic on the proleptic Gregorian calendar (days-from-civil), no OS calls except
// the clock read by NowDateTime().
#include "platform/datetime.h"

#include <cmath>
#include <cstdio>

namespace qx::platform {
namespace {

// Days from 1970-01-01 to the given civil date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int* year, int* month, int* day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp + (mp < 10 ? 3 : -9);
  *year = static_cast<int>(y + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

// 1899-12-30 is 25569 days before 1970-01-01.
constexpr long long kEpochOffset = 25569;
constexpr long long kMsPerDay = 86400000LL;

}  // namespace

double EncodeDateTime(const LocalTime& t) {
  const long long days = DaysFromCivil(t.year, static_cast<unsigned>(t.month),
                                       static_cast<unsigned>(t.day)) + kEpochOffset;
  const long long ms = ((t.hour * 60LL + t.minute) * 60LL + t.second) * 1000LL + t.millisecond;
  return static_cast<double>(days) + static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

LocalTime DecodeDateTime(double days) {
  LocalTime t;
  if (!std::isfinite(days)) return t;
  long long total_ms = std::llround(days * static_cast<double>(kMsPerDay));
  long long day = total_ms / kMsPerDay;
  long long ms = total_ms % kMsPerDay;
  if (ms < 0) {
    ms += kMsPerDay;
    day -= 1;
  }
  CivilFromDays(day - kEpochOffset, &t.year, &t.month, &t.day);
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return t;
}

double NowDateTime() { return EncodeDateTime(LocalNow()); }

std::string FormatTimestamp(const LocalTime& t) {
  char buf[64];
  if (t.hour == 0 && t.minute == 0 && t.second == 0 && t.millisecond == 0) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
  } else {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
  }
  return buf;
}

std::string FormatTimestamp(double days) { return FormatTimestamp(DecodeDateTime(days)); }

int DayOfWeek(const LocalTime& t) {
  // 1970-01-01 was a Thursday (5 when Sunday is 1).
  const long long d = DaysFromCivil(t.year, static_cast<unsigned>(t.month),
                                    static_cast<unsigned>(t.day));
  long long w = (d + 4) % 7;  // 0 = Sunday
  if (w < 0) w += 7;
  return static_cast<int>(w) + 1;
}

}  // namespace qx::platform
