// Storing completed statements: the SQL filters' verdict, the statement catalogue (cache, then
// repository, insert when new) and the per-connection execution history written in batches.
//
// Threading: called on the thread that owns the record (see thread_data.h); the cache and the
// session lock themselves, and the logs serialise their lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "capture/thread_data.h"
#include "service/service.h"
#include "sql/history_writer.h"
#include "sql/sql_hash.h"

namespace qx::sql {

// True when the statement must not be stored (no service, an EXCLUDE filter matches, or
// INCLUDE filters exist and none matches). May add one line to the record's trace.
bool IsExcludedByFilters(service::TQuorvexService& svc, capture::TThreadData& record,
                         std::string_view text, double elapsed_ms);

// Runs a "select count(*) from dual where ..." text; true when the count is above 0. The bind
// CONN_TIME, when the text has it, is the current local date-time. False on any error: a
// condition the repository rejects never holds.
bool CountQueryHolds(service::TQuorvexService& svc, const std::string& query_text);

// Evaluates an SQL filter's date condition (":date" stands for the current date); false on any
// error.
bool CheckDateExpr(service::TQuorvexService& svc, const std::string& condition);

// The catalogue entry of the record's current statement (cache first, then the repository);
// *hash receives its hash text in every case.
std::optional<TSQLData> FindSQLData(service::TQuorvexService& svc, capture::TThreadData& record,
                                    std::string* hash);

// The catalogue entry of a statement: the cache, else the repository (under catalogueMu),
// else a new entry inserted there; the cache learns it. Repository errors reach the caller
// (with connection_no >= 0 a failed insert is reported instead and gives nullopt).
std::optional<TSQLData> FindOrInsertSQL(service::TQuorvexService& svc, const std::string& hash,
                                        const std::string& text, int32_t connection_no);

// Gives rows that carry their statement (sql_id 0, sql_hash set) its catalogue id. Runs on
// the history writer's thread; repository errors reach the caller with the rows unchanged
// from the first one not catalogued.
void CatalogueRows(service::TQuorvexService& svc, std::vector<HistoryRow>& rows);

// CatalogueRows for a group written in one transaction that may yet be rolled back: leaves
// the rows and the cache as they are, gives each row's statement id in (*ids)[i] (0 for a row
// without one) and appends the entries the cache lacked to *learned, for the cache once the
// transaction has committed. The caller holds catalogueMu; repository errors reach it.
void CatalogueRowsInTransaction(service::TQuorvexService& svc,
                                const std::vector<HistoryRow>& rows, std::vector<double>* ids,
                                std::vector<TSQLData>* learned);

// Stores the record's current statement (sqlText) once in the catalogue and queues its
// execution with the elapsed time. Errors of the insert are reported in the logs, not thrown.
void SaveSQL(service::TQuorvexService& svc, capture::TThreadData& record, int32_t elapsed_ms);

// Numbers a completed execution within its connection's stream and appends it to the spool
// (when there is one), before it is queued.
void JournalExecution(service::TQuorvexService& svc, capture::TThreadData& record,
                      TSQLHistData& execution);

// Writes every queued execution as one history row (each failure reported, the rest still
// written) and empties the queue. With `final`, the newest entry is written with exec_time 0.
void InsertSQLHistory(service::TQuorvexService& svc, capture::TThreadData& record, bool final);

// Writes what is queued (final) and destroys the queue; nothing when it is already gone.
void CloseSQLHistory(service::TQuorvexService& svc, capture::TThreadData& record);

}  // namespace qx::sql
