// Oracle-style SQL functions for the embedded repository, so that the date conditions that
// administrators write for Oracle ("to_char(sysdate,'D') not in ('1','7')") run on SQLite.
//
// Threading: the functions are pure; registration touches only the given connection and must
// run under whatever guards that connection.
#pragma once

#include <string>

#include "platform/platform.h"

struct sqlite3;

namespace qx::repository::sqlite {

// Oracle's TO_CHAR of a date for the format elements YYYY, YY, MM, MON, MONTH, DD, D (Sunday =
// 1), DY, DAY, HH, HH12, HH24, MI, SS, AM/PM and FM, with punctuation, blanks and "quoted text"
// copied. Element names match in any letter case; MON, MONTH, DY, DAY and AM/PM are written in
// upper case when the element's first two letters are upper case, capitalised when only the
// first is, lower case otherwise. MONTH and DAY are blank-padded to nine characters unless FM
// is in effect. Returns false with *error set for an element it does not know.
bool OracleToChar(const platform::LocalTime& t, const std::string& format, std::string* out,
                  std::string* error);

// Registers to_char(value), to_char(date, format) and to_number(text) on the connection.
// Returns an SQLite result code.
int RegisterOracleFunctions(sqlite3* db);

}  // namespace qx::repository::sqlite
