// The fingerprint of a statement: its text with what varies between runs of "the same query"
// taken out, so that statements differing only in their literals group together in reports.
//
//   - comments (--, /* */, hints included) removed; blanks collapsed;
//   - literals become ?: strings ('It''s', N'..', Oracle q-quotes q'[..]' with any delimiter),
//     numbers (12, 1.5e3, .5, 0x1F), hex strings X'0A'; a sign before a number is part of it;
//   - bind variables (:1, :name, :B1, ?) become :?; a literal and a bind stay different;
//   - a parenthesised list of nothing but ?/:? becomes (?+): IN lists, VALUES rows; several
//     VALUES rows become one;
//   - unquoted words are lower-cased; quoted identifiers ("Mixed") keep their case;
//   - a trailing ';' or '/' is dropped.
//
// Threading: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace qx::sql {

std::string Fingerprint(std::string_view sql);
// 16 lower-case hex digits of the SHA-1 of the fingerprint.
std::string FingerprintHash(std::string_view fingerprint);

}  // namespace qx::sql
