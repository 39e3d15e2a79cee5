// Names of every statement and query the system runs on its repository, and the table that
// gives each one's text for a backend. Callers name what they run (SqlId); each backend keeps
// all of its texts in one table, so a reader can compare a dialect with the reference texts
// line by line. The Oracle texts are the reference: they are what the service has always sent.
#pragma once

#include <string>
#include <vector>

namespace qx::repository {

enum class SqlId {
  kCheckInstalled,       // installation check: a row when QX_SERVICE_LIST exists
  kDeleteStatusRows,     // :host
  kLoadService,          // :name (upper case)
  kLoadServiceFilters,   // :service_id
  kLoadSqlFilters,       // :service_id
  kInsertStatusRow,      // :service_id, :host
  kUpdateStatusRow,      // :service_id, :host
  kNextSessionId,        // first column: the next session number
  kFindSqlByHash,        // :sqlhash -> column id
  kInsertSql,            // out :sqlId; :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3
  kInsertSqlHistory,     // :sql_id, :srvc_id, :exec_date, :exec_time, :session_id, :host, :ip,
                         // :orauser, :service_name, :sid, :program, :username
  kCount
};

// The text of `id` as lines; a statement is sent as its lines joined by line breaks.
const std::vector<std::string>& OracleText(SqlId id);
const std::vector<std::string>& SqliteText(SqlId id);

// Lines joined by "\n".
std::string JoinLines(const std::vector<std::string>& lines);

}  // namespace qx::repository
