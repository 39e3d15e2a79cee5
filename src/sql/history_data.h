// One execution of a catalogue statement waiting in its connection's history queue until the
// queue is written to qx_client_sql_history.
//
// Threading: a plain value; the queue that holds it belongs to one connection record.
#pragma once

#include <optional>
#include <string>

namespace qx::sql {

struct TSQLHistData {
  double sql_id = 0;     // id of the statement in qx_client_sql
  double exec_date = 0;  // local date-time the statement became current (days since 1899-12-30)
  double exec_time = 0;  // elapsed milliseconds, never negative
  // The execution's outcome from the server's return status; empty when it is not known
  // (stored as NULL).
  std::optional<double> rows_processed;
  std::optional<int> error_code;  // Oracle error number, 0 = success
  // With sql_id 0 (the statement was not in the cache): the statement, which the history
  // writer finds in the catalogue or adds to it.
  std::string sql_hash, sql_text;
  uint64_t spool_seq = 0, stream_seq = 0;  // set when the execution was spooled (spool.h)
};

}  // namespace qx::sql
