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
  kInsertSqlHistoryOutcome,  // kInsertSqlHistory's, plus :rows_processed, :error_code (either
                             // may be bound NULL: outcome unknown)
  kListColumns,          // :table_name (upper case) -> column_name, one row per column
  kInsertSqlFingerprint, // kInsertSql's, plus :fingerprint_hash, :fingerprint
  // The history writer's spool mark: the newest spool sequence number of this instance whose
  // row the repository holds (spool.h).
  kEnsureSpoolMark,          // creates qx_spool_mark when it is missing
  kSpoolMark,                // :instance -> column seq (no row: nothing written yet)
  kInsertSqlHistorySpooled,  // kInsertSqlHistory's binds and :instance, :spool_seq: the row
                             // and the mark in one transaction
  kInsertSqlHistoryOutcomeSpooled,  // the same with kInsertSqlHistoryOutcome's binds
  // The history writer's grouped write (SQLite, where one transaction holds many statements):
  // ids taken as one block, the rows with their ids, one mark per connection and group.
  kReserveSqlHistoryIds,     // :count -> column last_id: raises the history id sequence by
                             // :count; the ids last_id - :count + 1 .. last_id are the
                             // caller's (Oracle: one new id per row, not a block)
  kInsertSqlHistoryWithId,   // kInsertSqlHistory's binds and :id, the row's id
  kInsertSqlHistoryOutcomeWithId,  // kInsertSqlHistoryOutcome's binds and :id
  kSetSpoolMark,             // :instance, :spool_seq: the mark raised to :spool_seq
  // The group's new statements the same way: one block of ids, then the rows with them.
  kReserveSqlIds,            // :count -> column last_id, as kReserveSqlHistoryIds for the
                             // statement id sequence
  kInsertSqlWithId,          // :id, :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3
  kInsertSqlFingerprintWithId,  // kInsertSqlWithId's, plus :fingerprint_hash, :fingerprint
  // qxadmin's statements. The services and filters it writes are the rows the service loads.
  kAdminCreateSchema,            // the whole schema, every table and sequence, in one script
                                 // (made from the schema table, schema.h)
  kAdminListIndexes,             // -> index_name, every index of the repository user
  kAdminStatementsToFingerprint, // :after -> id, sqltext..sqltext3: up to 500 statements
                                 // without a fingerprint whose id is above :after, by id
  kAdminSetFingerprint,          // :id, :fingerprint_hash, :fingerprint
  // Reports. Filters of all: :since, :until (date-times), :srvc_id (0 = every service),
  // :orauser, :program, :host (NULL = any), :min_time (ms). The scope of one statement or
  // fingerprint ("scope" below): :sql_id (-1 = none) or :fingerprint_hash (NULL = none), the
  // executions of the statement with that id or of every statement with that fingerprint.
  kReportTop,                    // per statement: sql_id, execs, total_ms, max_ms, row_count,
                                 // errors, fingerprint_hash (NULL also when the history names
                                 // a statement the catalogue lacks)
  kReportTimesAtRanks,           // scope, :p1, :p2, :p3 (whole percents) -> rn, n, exec_time,
                                 // first_seen, last_seen: of the scope's n times in ascending
                                 // order, those at the nearest ranks ceil(p * n / 100), and the
                                 // scope's first and last date
  kReportTimesAtRanksUnfiltered, // kReportTimesAtRanks without :srvc_id, :orauser, :program,
                                 // :host (none set): answered from an index alone
  kReportFindStatement,          // scope -> id, fingerprint_hash, fingerprint, texts: the
                                 // scope's statement of lowest id
  kReportScopeSummary,           // scope -> one row: execs, total_ms, min_ms, max_ms,
                                 // row_count, errors, first_seen, last_seen
  kReportVariants,               // :fingerprint_hash -> per statement with it: sql_id, execs,
                                 // total_ms, texts, by total_ms descending
  kReportHistogram,              // scope -> bucket (0..13, see report.h), execs, total_ms
  kReportPerHour,                // scope -> hour ("YYYY-MM-DD HH"), execs, total_ms, errors
  kReportWho,                    // scope, :limit -> orauser, program, host, ip, username,
                                 // service_name, execs, total_ms, errors; most executions first
  kReportErrors,                 // scope -> error_code, execs, last_seen; codes other than 0
  kReportSessions,               // :group_by (user|program|host|ip|osuser|service) -> grp,
                                 // execs, total_ms, max_ms, errors, statements, sessions,
                                 // first_seen, last_seen
  kReportAllPerHour,             // kReportPerHour of every statement
  kReportAllErrors,              // kReportErrors of every statement
  kAdminPurgeBatch,              // :before, :batch -> id, sql_id, exec_date: the oldest history
                                 // rows before :before, at most :batch, by exec_date, id
  kAdminPurgeHistory,            // :before, :last_date, :last_id: deletes the rows before
                                 // :before up to (last_date, last_id) in (exec_date, id) order
  kAdminPurgeStatement,          // :id: deletes the statement when no history row has it
  kAdminListServices,            // every row of QX_SERVICE_LIST, by id
  kAdminFindServiceById,         // :id
  kAdminInsertService,           // out :id; :name, :oracle_host, :oracle_port, :work_port,
                                 // :manage_port, :ipinterface
  kAdminDeleteService,           // :id; its service and SQL filters go with it
  kAdminListServiceFilters,      // :service_id (0 = every service), by id
  kAdminFindServiceFilter,       // :id
  kAdminInsertServiceFilter,     // out :id; :service_id, :filter_type, :service_name, :sid,
                                 // :program, :host, :username, :orauser, :date_expr, :enabled
  kAdminSetServiceFilterEnabled, // :id, :enabled
  kAdminDeleteServiceFilter,     // :id
  kAdminListSqlFilters,          // :service_id (0 = every service), by id
  kAdminFindSqlFilter,           // :id
  kAdminInsertSqlFilter,         // out :id; :service_id, :filter_type, :exec_date_expr,
                                 // :exec_time, :sqlstatement, :object_list, :enabled
  kAdminSetSqlFilterEnabled,     // :id, :enabled
  kAdminDeleteSqlFilter,         // :id
  kCount
};

// The text of `id` as lines; a statement is sent as its lines joined by line breaks.
const std::vector<std::string>& OracleText(SqlId id);
const std::vector<std::string>& SqliteText(SqlId id);
// The Oracle texts of qxadmin's statements (kAdminCreateSchema and after); empty for the
// service's own statements and for a statement that has no Oracle text yet.
const std::vector<std::string>& OracleAdminText(SqlId id);

// Lines joined by "\n".
std::string JoinLines(const std::vector<std::string>& lines);

}  // namespace qx::repository
