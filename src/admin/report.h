// qxadmin report: what ran, ranked, read from the execution history.
//
//   report top [--by statement|fingerprint] [--order total|executions|avg|p95|max|errors|rows]
//              [--service NAME] [--since WHEN] [--until WHEN] [--user ORAUSER]
//              [--program P] [--host H] [--min-time MS] [--limit N] [--width N] [--full]
//              [--format text|csv|json]
//
// WHEN is a local time "YYYY-MM-DD[ HH:MM[:SS]]" or a time before now: "30m", "2h", "7d".
// Percentiles are exact (nearest rank): the times of each ranked statement are read in order,
// one statement at a time, so memory holds one statement's times, never the whole history.
//
// Threading: one thread, the caller's session.
#pragma once

#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>

#include "repository/repository.h"

namespace qx::admin {

// A wrong report command line.
class ReportUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int RunReport(repository::Session& session, const std::string& what,
              const std::map<std::string, std::string>& options, bool full, std::ostream& out);

}  // namespace qx::admin
