// qxadmin report: what ran, read from the execution history, as text, CSV, JSON or HTML.
//
//   report top [--by statement|fingerprint] [--order total|executions|avg|p95|max|errors|rows]
//              [FILTERS] [--limit N] [--width N] [--full] [--format text|csv|json|html]
//   report statement ID [FILTERS] [--limit N] [--format ...]
//              ID is a statement id or a fingerprint hash (16 hex digits): its text, variants,
//              time histogram, executions per hour, who ran it, errors by code
//   report sessions [--group-by user|program|host|ip|osuser|service] [FILTERS] [--limit N]
//              [--format ...]
//   report overview [FILTERS] [--limit N] [--sections N]
//              the HTML report: overview, top tables, a section per top statement
//   FILTERS: [--service NAME] [--since WHEN] [--until WHEN] [--user ORAUSER] [--program P]
//            [--host H] [--min-time MS]
//
// WHEN is a local time "YYYY-MM-DD[ HH:MM[:SS]]" or a time before now: "30m", "2h", "7d".
// Percentiles are exact (nearest rank): the database numbers each statement's times in order
// and hands back the values at the ranks, so no report holds more than three per statement.
//
// Threading: one thread, the caller's session.
#pragma once

#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "repository/repository.h"

namespace qx::admin {

// A wrong report command line.
class ReportUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// what: the report's name; args: the words after it (the ID of report statement).
int RunReport(repository::Session& session, const std::string& what,
              const std::map<std::string, std::string>& options,
              const std::vector<std::string>& args, bool full, std::ostream& out);

}  // namespace qx::admin
