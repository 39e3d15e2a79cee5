// Finding the SQL statement in one client-to-server packet. The packet is not parsed: the
// statement starts at the highest-priority keyword found anywhere in it and is cut free of the
// surrounding Oracle Net framing by a few fixed byte rules. A skip mark tells the caller that
// the statement must never be stored: the service's own blocks, statements on repository
// tables, incomplete fragments and EXPLAIN PLAN requests.
//
// Texts are byte strings and are never decoded. The relay passes its chunks upper-cased; the
// capture thread passes payloads as captured.
//
// Threading: pure functions; the keyword list passed in must not change while they run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qx::sql {

// The statement keywords in priority order (not order of appearance). The service object keeps
// its own copy; COMMIT and ROLLBACK count only with their semicolon.
const std::vector<std::string>& DefaultSqlKeywords();

// Marker that the service's own repository blocks carry; such statements are dropped.
inline constexpr std::string_view kOwnStatementMarker = "/*$QXC$*/";

// The first keyword, in list order, that the upper-cased text contains; "" when none.
std::string FindStatementKeyword(std::string_view text, const std::vector<std::string>& keywords);
inline std::string FindStatementKeyword(std::string_view text) {
  return FindStatementKeyword(text, DefaultSqlKeywords());
}

// True when the text must not be stored: it names a repository table, has a word without its
// companion (BEGIN/DECLARE without END;, UPDATE without SET, SELECT/DELETE without FROM,
// INSERT without INTO) or is shorter than 7 bytes once trimmed.
bool IsIgnoredStatement(std::string_view text);

// The rules that hold for every stored text, however it was found: the service's own blocks
// (the marker), statements naming a repository table, and EXPLAIN PLAN requests are never
// stored.
bool IsNeverStoredStatement(std::string_view text);

struct ExtractedStatement {
  std::string statement;  // empty when the packet holds no keyword or the text was dropped
  bool skip = false;      // true when the statement must never be stored
};

ExtractedStatement ExtractStatement(std::string_view packet,
                                    const std::vector<std::string>& keywords);
inline ExtractedStatement ExtractStatement(std::string_view packet) {
  return ExtractStatement(packet, DefaultSqlKeywords());
}

}  // namespace qx::sql
