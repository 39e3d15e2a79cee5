// Keyword search and framing clean-up that turn a client packet into a statement.
#include "sql/statement_extract.h"

#include <array>
#include <utility>

#include "sql/byte_text.h"

namespace qx::sql {
namespace {

// A statement with the first word but not the second is a fragment (or, for EXPLAIN-like
// clauses, not a statement of its own). Order matters only for which test stops first.
constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kCompanions = {{
    {"BEGIN", "END;"},
    {"DECLARE", "END;"},
    {"UPDATE", "SET"},
    {"SELECT", "FROM"},
    {"DELETE", "FROM"},
    {"INSERT", "INTO"},
}};

// Every table and sequence of the repository schema starts with one of these; statements on
// them are the service's own traffic or an administrator's, never a client's workload.
constexpr std::array<std::string_view, 4> kRepositoryPrefixes = {"QX_CLIENT", "QX_SERVICE",
                                                                 "QX_SESSION", "QX_SQL"};

constexpr size_t kMinStatementLength = 7;
constexpr size_t kTailWindow = 11;
constexpr unsigned char kTailLimit = 0x7A;  // 'z'; bytes above it near the end are framing

}  // namespace

const std::vector<std::string>& DefaultSqlKeywords() {
  static const std::vector<std::string> keywords = {"INSERT", "MERGE",  "UPDATE", "DELETE",
                                                    "DECLARE", "BEGIN", "SELECT", "CREATE",
                                                    "ALTER",  "DROP",   "COMMIT;", "ROLLBACK;"};
  return keywords;
}

std::string FindStatementKeyword(std::string_view text, const std::vector<std::string>& keywords) {
  const std::string upper = UpperCase(text);
  for (const std::string& keyword : keywords) {
    if (Contains(upper, keyword)) return UpperCase(keyword);
  }
  return {};
}

bool IsIgnoredStatement(std::string_view text) {
  const std::string upper = UpperCase(text);
  for (std::string_view prefix : kRepositoryPrefixes) {
    if (Contains(upper, prefix)) return true;
  }
  for (const auto& [word, companion] : kCompanions) {
    if (Contains(upper, word) && !Contains(upper, companion)) return true;
  }
  return Trim(text).size() < kMinStatementLength;
}

bool IsNeverStoredStatement(std::string_view text) {
  if (Contains(text, kOwnStatementMarker)) return true;
  // Run for every execution: the prefixes are looked for in any letter case where a 'Q'
  // stands, without an upper-cased copy of the text.
  for (size_t i = 0; i < text.size(); ++i) {
    if ((text[i] | 0x20) != 'q') continue;  // 'Q' or 'q' only
    const std::string_view rest = text.substr(i);
    for (std::string_view prefix : kRepositoryPrefixes) {
      if (rest.size() >= prefix.size() &&
          EqualsIgnoreAsciiCase(rest.substr(0, prefix.size()), prefix)) {
        return true;
      }
    }
  }
  // EXPLAIN PLAN [SET STATEMENT_ID = ...] [INTO ...] FOR statement
  std::string_view t = Trim(text);
  if (t.size() < 7 || !EqualsIgnoreAsciiCase(t.substr(0, 7), "EXPLAIN")) return false;
  t = Trim(t.substr(7));
  return t.size() >= 4 && EqualsIgnoreAsciiCase(t.substr(0, 4), "PLAN");
}

ExtractedStatement ExtractStatement(std::string_view packet,
                                    const std::vector<std::string>& keywords) {
  ExtractedStatement result;
  const std::string upper = UpperCase(packet);
  if (Contains(upper, "EXPLAIN") && Contains(upper, "PLAN") && Contains(upper, "FOR")) {
    result.skip = true;
  }
  if (IsIgnoredStatement(packet)) result.skip = true;

  const std::string keyword = FindStatementKeyword(packet, keywords);
  if (keyword.empty()) return result;

  // From the keyword on, in the packet's own letter case, up to the first control byte below
  // 0x09: in Oracle Net framing such a byte ends the text field. Tabs, line breaks and the
  // bytes 0x7F..0xFF are legitimate statement text.
  std::string_view rest = Trim(packet.substr(upper.find(keyword)));
  size_t stop = 0;
  while (stop < rest.size() && static_cast<unsigned char>(rest[stop]) > 0x08) ++stop;
  std::string s(Trim(rest.substr(0, stop)));

  // A length or type byte may trail the text; such bytes are above 'z' in practice, so cut at
  // the first one within the last few characters. Further back it is part of the text.
  const size_t head = s.size() > kTailWindow ? s.size() - kTailWindow : 0;
  for (size_t i = head; i < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) > kTailLimit) {
      s.resize(i);
      break;
    }
  }

  if (Contains(s, kOwnStatementMarker)) s.clear();

  const std::string keyword2 = FindStatementKeyword(s, keywords);
  if (keyword2.empty()) result.skip = true;
  const std::string upperS = UpperCase(s);
  for (const auto& [word, companion] : kCompanions) {
    if (keyword2 == word && !Contains(upperS, companion)) result.skip = true;
  }

  // Older clients cut long texts into 64-byte pieces whose length byte 0x40 is an at sign.
  std::erase(s, '@');
  result.statement = std::string(Trim(s));
  return result;
}

}  // namespace qx::sql
