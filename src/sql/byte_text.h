// Text helpers for the byte strings the capture pipeline handles. Client data is never decoded:
// one byte is one character, whatever the client's character set, so "upper case" touches only
// the bytes a..z, "trim" drops the bytes 0x00..0x20 at both ends and "contains" is a plain
// case-sensitive substring search. Locale rules must never creep in here, because the hash of a
// statement and the filter decisions depend on these exact byte rules.
//
// Threading: pure functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace qx::sql {

// The bytes a..z become A..Z; every other byte is kept.
std::string UpperCase(std::string_view text);

// Removes every byte 0x00..0x20 from both ends.
std::string_view Trim(std::string_view text);

inline bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Equality of two texts with the letters a..z and A..Z taken as equal; other bytes must match.
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

// A repository number (ids, session numbers) in plain decimal: a whole number without a
// fractional part, any other value in its shortest round-trip form.
std::string FormatNumber(double value);

}  // namespace qx::sql
