// Local date-times as the service holds them: a double counting days since 1899-12-30 00:00,
// the time of day being the fraction (so 0.75 is 18:00). Repository values, execution dates,
// logon times and log time stamps all go through these helpers so that one conversion serves
// everywhere.
//
// Threading: all functions are safe to call from any thread.
#pragma once

#include <string>

#include "platform/platform.h"

namespace qx::platform {

// Days since 1899-12-30 for the given fields (milliseconds included).
double EncodeDateTime(const LocalTime& t);

// The fields of a date-time, rounded to the nearest millisecond.
LocalTime DecodeDateTime(double days);

// The current local date-time.
double NowDateTime();

// "YYYY-MM-DD HH:MM:SS"; the date alone ("YYYY-MM-DD") when the time is exactly midnight.
std::string FormatTimestamp(const LocalTime& t);
std::string FormatTimestamp(double days);

// Day of the week, 1 = Sunday ... 7 = Saturday.
int DayOfWeek(const LocalTime& t);

}  // namespace qx::platform
