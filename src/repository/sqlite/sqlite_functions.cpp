// to_char for the embedded repository: dates are the TEXT "YYYY-MM-DD HH:MM:SS" that the
// session binds and stores (and that the dual view's sysdate yields).
#include "repository/sqlite/sqlite_functions.h"

#include <sqlite3.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/datetime.h"
#include "repository/sqlite/sqlite_session.h"

namespace qx::repository::sqlite {
namespace {

const char* const kMonths[] = {"JANUARY", "FEBRUARY", "MARCH",     "APRIL",   "MAY",      "JUNE",
                               "JULY",    "AUGUST",   "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};
const char* const kDays[] = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                             "THURSDAY", "FRIDAY", "SATURDAY"};

bool StartsWithNoCase(const std::string& s, size_t pos, const char* word) {
  for (size_t i = 0; word[i]; ++i) {
    if (pos + i >= s.size()) return false;
    if (std::toupper(static_cast<unsigned char>(s[pos + i])) != word[i]) return false;
  }
  return true;
}

// Oracle's letter case rule for names: the case of the element's first two letters decides.
std::string CaseAs(const std::string& upper_name, const std::string& format, size_t pos) {
  const bool first_upper = std::isupper(static_cast<unsigned char>(format[pos])) != 0;
  const bool second_upper = std::isupper(static_cast<unsigned char>(format[pos + 1])) != 0;
  std::string out = upper_name;
  if (first_upper && second_upper) return out;
  for (size_t i = first_upper ? 1 : 0; i < out.size(); ++i) {
    out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[i])));
  }
  return out;
}

std::string Number(int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  return buf;
}

std::string Pad(std::string s, bool fill) {
  if (fill && s.size() < 9) s.append(9 - s.size(), ' ');
  return s;
}

void ToCharFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;  // NULL in, NULL out, as in Oracle
  if (argc == 1) {
    sqlite3_result_text(ctx, reinterpret_cast<const char*>(sqlite3_value_text(argv[0])), -1,
                        SQLITE_TRANSIENT);
    return;
  }
  if (sqlite3_value_type(argv[1]) == SQLITE_NULL) return;
  const unsigned char* raw = sqlite3_value_text(argv[0]);
  double days = 0;
  if (sqlite3_value_type(argv[0]) != SQLITE_TEXT ||
      !ParseDateTimeText(reinterpret_cast<const char*>(raw), &days)) {
    sqlite3_result_error(ctx, "to_char: the first argument is not a date", -1);
    return;
  }
  const std::string format = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  std::string out, error;
  if (!OracleToChar(platform::DecodeDateTime(days), format, &out, &error)) {
    sqlite3_result_error(ctx, error.c_str(), -1);
    return;
  }
  sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// Oracle's TO_NUMBER of a text: blanks around the number allowed, anything else is an error.
void ToNumberFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  switch (sqlite3_value_type(argv[0])) {
    case SQLITE_NULL:
      return;
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
      sqlite3_result_value(ctx, argv[0]);
      return;
    default:
      break;
  }
  const char* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  while (end && std::isspace(static_cast<unsigned char>(*end))) ++end;
  if (end == text || !end || *end || !std::isfinite(v)) {
    sqlite3_result_error(ctx, "to_number: invalid number", -1);
    return;
  }
  if (v == std::trunc(v) && std::fabs(v) < 9e18) {
    sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(v));
  } else {
    sqlite3_result_double(ctx, v);
  }
}

}  // namespace

bool OracleToChar(const platform::LocalTime& t, const std::string& format, std::string* out,
                  std::string* error) {
  out->clear();
  if (t.month < 1 || t.month > 12) {
    *error = "to_char: not a valid date";
    return false;
  }
  bool fill = true;
  const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
  size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c == '"') {
      const size_t end = format.find('"', i + 1);
      if (end == std::string::npos) {
        *error = "to_char: unterminated quoted text in the date format";
        return false;
      }
      out->append(format, i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(c))) {
      out->push_back(c);
      ++i;
      continue;
    }
    // Longest element first: MONTH before MON before MM, HH24 before HH, DAY before DY/DD/D.
    if (StartsWithNoCase(format, i, "FM")) {
      fill = !fill;
      i += 2;
    } else if (StartsWithNoCase(format, i, "YYYY")) {
      out->append(Number(t.year, 4));
      i += 4;
    } else if (StartsWithNoCase(format, i, "YY")) {
      out->append(Number(t.year % 100, 2));
      i += 2;
    } else if (StartsWithNoCase(format, i, "MONTH")) {
      out->append(Pad(CaseAs(kMonths[t.month - 1], format, i), fill));
      i += 5;
    } else if (StartsWithNoCase(format, i, "MON")) {
      out->append(CaseAs(std::string(kMonths[t.month - 1], 3), format, i));
      i += 3;
    } else if (StartsWithNoCase(format, i, "MM")) {
      out->append(Number(t.month, 2));
      i += 2;
    } else if (StartsWithNoCase(format, i, "MI")) {
      out->append(Number(t.minute, 2));
      i += 2;
    } else if (StartsWithNoCase(format, i, "DAY")) {
      out->append(Pad(CaseAs(kDays[platform::DayOfWeek(t) - 1], format, i), fill));
      i += 3;
    } else if (StartsWithNoCase(format, i, "DY")) {
      out->append(CaseAs(std::string(kDays[platform::DayOfWeek(t) - 1], 3), format, i));
      i += 2;
    } else if (StartsWithNoCase(format, i, "DD")) {
      out->append(Number(t.day, 2));
      i += 2;
    } else if (StartsWithNoCase(format, i, "D")) {
      out->append(std::to_string(platform::DayOfWeek(t)));
      i += 1;
    } else if (StartsWithNoCase(format, i, "HH24")) {
      out->append(Number(t.hour, 2));
      i += 4;
    } else if (StartsWithNoCase(format, i, "HH12")) {
      out->append(Number(hour12, 2));
      i += 4;
    } else if (StartsWithNoCase(format, i, "HH")) {
      out->append(Number(hour12, 2));
      i += 2;
    } else if (StartsWithNoCase(format, i, "SS")) {
      out->append(Number(t.second, 2));
      i += 2;
    } else if (StartsWithNoCase(format, i, "AM") || StartsWithNoCase(format, i, "PM")) {
      out->append(CaseAs(t.hour < 12 ? "AM" : "PM", format, i));
      i += 2;
    } else {
      *error = "to_char: date format not recognized at \"" + format.substr(i) + "\"";
      return false;
    }
  }
  return true;
}

int RegisterOracleFunctions(sqlite3* db) {
  int rc = sqlite3_create_function(db, "to_char", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   ToCharFunction, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_create_function(db, "to_number", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                               ToNumberFunction, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_create_function(db, "to_char", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                 ToCharFunction, nullptr, nullptr);
}

}  // namespace qx::repository::sqlite
