// The SQLite dialect of every repository statement, in SqlId order, doing what the Oracle
// texts (sql_texts.cpp) do. How they differ:
//   - A text may hold several statements; the session runs them as one transaction, so the
//     Oracle blocks' own "commit;" has no counterpart here.
//   - Sequences are rows of qx_sequences; nextval is "update ... returning value".
//   - An output variable is filled by a column of the same name ("returning value as sqlId")
//     and read by the statements after it as ":sqlId".
//   - sysdate is datetime('now', 'localtime'); date-times are TEXT "YYYY-MM-DD HH:MM:SS".
// Every text binds exactly the variables its Oracle counterpart binds.
#include <array>

#include "repository/schema.h"
#include "repository/sql_texts.h"

namespace qx::repository {
namespace {

using Lines = std::vector<std::string>;

Lines CreateSchemaScript() {
  Lines lines;
  for (const std::string& ddl : SchemaDdl(Backend::kSqlite)) lines.push_back(ddl + ";");
  return lines;
}


// nextval of a sequence as a statement of a script, its value in the column `column`.
#define QX_NEXTVAL(seq, column) \
  "update qx_sequences set value = value + 1 where name = '" seq "' returning value as " column ";"

// The report texts' shared pieces: the filters, one statement's or fingerprint's executions
// (the scope), the time buckets of the histograms and the error count.
#define QX_FILTERS "h.exec_date >= :since and h.exec_date < :until and (:srvc_id = 0 or h.srvc_id = :srvc_id) and (:orauser is null or h.orauser = :orauser) and (:program is null or h.program = :program) and (:host is null or h.host = :host) and h.exec_time >= :min_time"
#define QX_SCOPE "h.sql_id in (select s.id from qx_client_sql s where s.id = :sql_id or s.fingerprint_hash = :fingerprint_hash)"
#define QX_BUCKET "case when h.exec_time < 1 then 0 when h.exec_time < 2 then 1 when h.exec_time < 5 then 2 when h.exec_time < 10 then 3 when h.exec_time < 20 then 4 when h.exec_time < 50 then 5 when h.exec_time < 100 then 6 when h.exec_time < 200 then 7 when h.exec_time < 500 then 8 when h.exec_time < 1000 then 9 when h.exec_time < 2000 then 10 when h.exec_time < 5000 then 11 when h.exec_time < 10000 then 12 else 13 end"
#define QX_TIME_WINDOW "h.exec_date >= :since and h.exec_date < :until and h.exec_time >= :min_time"
#define QX_ERRORS "sum(case when h.error_code <> 0 then 1 else 0 end) as errors"

const std::array<Lines, static_cast<size_t>(SqlId::kCount)>& SqliteTable() {
  static const std::array<Lines, static_cast<size_t>(SqlId::kCount)> table = {{
      /* kCheckInstalled */
      {"select name as table_name from sqlite_master where type = 'table' and upper(name) = "
       "'QX_SERVICE_LIST'"},
      /* kDeleteStatusRows */
      {"delete from qx_service_status where host = :host"},
      /* kLoadService */
      {"select * from QX_SERVICE_LIST where Upper(name) = :name"},
      /* kLoadServiceFilters */
      {"select * from qx_service_filter where service_id = :service_id and enabled = 'Y' "},
      /* kLoadSqlFilters */
      {"select * from qx_sql_filter where service_id = :service_id and enabled = 'Y' "},
      /* kInsertStatusRow */
      {"/*$QXC$*/ insert into qx_service_status (service_id, host, service_start, last_update) "
       "values (:service_id, :host, datetime('now', 'localtime'), datetime('now', 'localtime'))"},
      /* kUpdateStatusRow */
      {"update qx_service_status set last_update = datetime('now', 'localtime') "
       "where service_id = :service_id and host = :host"},
      /* kNextSessionId */
      {QX_NEXTVAL("qx_session_id_seq", "nextval")},
      /* kFindSqlByHash */
      {"select id from qx_client_sql where sqlhash = :sqlhash "},
      /* kInsertSql */
      {"/*$QXC$*/",
       QX_NEXTVAL("qx_client_sql_id_seq", "sqlId"),
       "insert into QX_CLIENT_SQL (id, sqlhash, sqltext, sqltext1, sqltext2, sqltext3)",
       " values (:sqlId, :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3);"},
      /* kInsertSqlHistory */
      {"/*$QXC$*/",
       "update qx_sequences set value = value + 1 where name = 'qx_client_sqlhist_id_seq';",
       "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username)",
       " values ((select value from qx_sequences where name = 'qx_client_sqlhist_id_seq'), "
       ":sql_id, :srvc_id, :exec_date, :exec_time, :session_id, :host, :ip, :orauser, "
       ":service_name, :sid, :program, :username);"},
      /* kInsertSqlHistoryOutcome */
      {"/*$QXC$*/",
       "update qx_sequences set value = value + 1 where name = 'qx_client_sqlhist_id_seq';",
       "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username, rows_processed, "
       "error_code)",
       " values ((select value from qx_sequences where name = 'qx_client_sqlhist_id_seq'), "
       ":sql_id, :srvc_id, :exec_date, :exec_time, :session_id, :host, :ip, :orauser, "
       ":service_name, :sid, :program, :username, :rows_processed, :error_code);"},
      /* kListColumns */
      {"select upper(name) as column_name from pragma_table_info(:table_name)"},
      /* kInsertSqlFingerprint */
      {"/*$QXC$*/",
       QX_NEXTVAL("qx_client_sql_id_seq", "sqlId"),
       "insert into QX_CLIENT_SQL (id, sqlhash, sqltext, sqltext1, sqltext2, sqltext3, "
       "fingerprint_hash, fingerprint)",
       " values (:sqlId, :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3, :fingerprint_hash, "
       ":fingerprint);"},
      /* kEnsureSpoolMark */
      {"create table if not exists qx_spool_mark (instance text primary key, seq integer not "
       "null)"},
      /* kSpoolMark */
      {"select seq from qx_spool_mark where instance = :instance"},
      /* kInsertSqlHistorySpooled */
      {"/*$QXC$*/",
       "update qx_sequences set value = value + 1 where name = 'qx_client_sqlhist_id_seq';",
       "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username)",
       " values ((select value from qx_sequences where name = 'qx_client_sqlhist_id_seq'), "
       ":sql_id, :srvc_id, :exec_date, :exec_time, :session_id, :host, :ip, :orauser, "
       ":service_name, :sid, :program, :username);",
       "insert into qx_spool_mark (instance, seq) values (:instance, :spool_seq)",
       " on conflict(instance) do update set seq = max(seq, excluded.seq);"},
      /* kInsertSqlHistoryOutcomeSpooled */
      {"/*$QXC$*/",
       "update qx_sequences set value = value + 1 where name = 'qx_client_sqlhist_id_seq';",
       "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username, rows_processed, "
       "error_code)",
       " values ((select value from qx_sequences where name = 'qx_client_sqlhist_id_seq'), "
       ":sql_id, :srvc_id, :exec_date, :exec_time, :session_id, :host, :ip, :orauser, "
       ":service_name, :sid, :program, :username, :rows_processed, :error_code);",
       "insert into qx_spool_mark (instance, seq) values (:instance, :spool_seq)",
       " on conflict(instance) do update set seq = max(seq, excluded.seq);"},
      /* kReserveSqlHistoryIds */
      {"update qx_sequences set value = value + :count where name = 'qx_client_sqlhist_id_seq' "
       "returning value as last_id"},
      /* kInsertSqlHistoryWithId */
      {"/*$QXC$*/ insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username)",
       " values (:id, :sql_id, :srvc_id, :exec_date, :exec_time, :session_id, :host, :ip, "
       ":orauser, :service_name, :sid, :program, :username)"},
      /* kInsertSqlHistoryOutcomeWithId */
      {"/*$QXC$*/ insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username, rows_processed, "
       "error_code)",
       " values (:id, :sql_id, :srvc_id, :exec_date, :exec_time, :session_id, :host, :ip, "
       ":orauser, :service_name, :sid, :program, :username, :rows_processed, :error_code)"},
      /* kSetSpoolMark */
      {"/*$QXC$*/ insert into qx_spool_mark (instance, seq) values (:instance, :spool_seq)",
       " on conflict(instance) do update set seq = max(seq, excluded.seq)"},
      /* kReserveSqlIds */
      {"update qx_sequences set value = value + :count where name = 'qx_client_sql_id_seq' "
       "returning value as last_id"},
      /* kInsertSqlWithId */
      {"/*$QXC$*/ insert into QX_CLIENT_SQL (id, sqlhash, sqltext, sqltext1, sqltext2, sqltext3)",
       " values (:id, :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3)"},
      /* kInsertSqlFingerprintWithId */
      {"/*$QXC$*/ insert into QX_CLIENT_SQL (id, sqlhash, sqltext, sqltext1, sqltext2, sqltext3, "
       "fingerprint_hash, fingerprint)",
       " values (:id, :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3, :fingerprint_hash, "
       ":fingerprint)"},

      /* kAdminCreateSchema: the schema table's statements (schema.h). Ids are NUMBER (not
         INTEGER PRIMARY KEY) so that a NULL id fails instead of taking a rowid. */
      CreateSchemaScript(),
      /* kAdminListIndexes */
      {"select name as index_name from sqlite_master where type = 'index'"},
      /* kAdminStatementsToFingerprint */
      {"select id, sqltext, sqltext1, sqltext2, sqltext3 from qx_client_sql",
       "where fingerprint_hash is null and id > :after order by id limit 500"},
      /* kAdminSetFingerprint */
      {"update qx_client_sql set fingerprint_hash = :fingerprint_hash, fingerprint = :fingerprint "
       "where id = :id"},
      /* kReportTop */
      {"select a.sql_id, a.execs, a.total_ms, a.max_ms, a.row_count, a.errors, s.fingerprint_hash from",
       "(select h.sql_id, count(*) as execs, sum(h.exec_time) as total_ms, max(h.exec_time) as max_ms, sum(h.rows_processed) as row_count, " QX_ERRORS,
       " from qx_client_sql_history h where " QX_FILTERS " group by h.sql_id) a",
       "left join qx_client_sql s on s.id = a.sql_id"},
      /* kReportTimesAtRanks */
      {"select rn, n, exec_time, first_seen, last_seen from (select h.exec_time, row_number() over (order by h.exec_time) as rn, count(*) over () as n,",
       " min(h.exec_date) over () as first_seen, max(h.exec_date) over () as last_seen",
       "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS ") t",
       "where rn in (cast((:p1 * n + 99) / 100 as integer), cast((:p2 * n + 99) / 100 as integer), cast((:p3 * n + 99) / 100 as integer)) order by rn"},
      /* kReportTimesAtRanksUnfiltered */
      {"select rn, n, exec_time, first_seen, last_seen from (select h.exec_time, row_number() over (order by h.exec_time) as rn, count(*) over () as n,",
       " min(h.exec_date) over () as first_seen, max(h.exec_date) over () as last_seen",
       "from qx_client_sql_history h where " QX_SCOPE " and " QX_TIME_WINDOW ") t",
       "where rn in (cast((:p1 * n + 99) / 100 as integer), cast((:p2 * n + 99) / 100 as integer), cast((:p3 * n + 99) / 100 as integer)) order by rn"},
      /* kReportFindStatement */
      {"select id, fingerprint_hash, fingerprint, sqltext, sqltext1, sqltext2, sqltext3 from qx_client_sql s",
       "where s.id = :sql_id or s.fingerprint_hash = :fingerprint_hash order by id limit 1"},
      /* kReportScopeSummary */
      {"select count(*) as execs, sum(h.exec_time) as total_ms, min(h.exec_time) as min_ms, max(h.exec_time) as max_ms, sum(h.rows_processed) as row_count,",
       " " QX_ERRORS ", min(h.exec_date) as first_seen, max(h.exec_date) as last_seen",
       "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS},
      /* kReportVariants */
      {"select h.sql_id, count(*) as execs, sum(h.exec_time) as total_ms, s.sqltext, s.sqltext1, s.sqltext2, s.sqltext3",
       "from qx_client_sql_history h join qx_client_sql s on s.id = h.sql_id",
       "where s.fingerprint_hash = :fingerprint_hash and " QX_FILTERS,
       "group by h.sql_id, s.sqltext, s.sqltext1, s.sqltext2, s.sqltext3 order by total_ms desc, h.sql_id"},
      /* kReportHistogram */
      {"select bucket, count(*) as execs, sum(exec_time) as total_ms from (select " QX_BUCKET " as bucket, h.exec_time",
       "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS ") t",
       "group by bucket order by bucket"},
      /* kReportPerHour */
      {"select substr(h.exec_date, 1, 13) as hour, count(*) as execs, sum(h.exec_time) as total_ms, " QX_ERRORS,
       "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS,
       "group by substr(h.exec_date, 1, 13) order by hour"},
      /* kReportWho */
      {"select h.orauser, h.program, h.host, h.ip, h.username, h.service_name, count(*) as execs, sum(h.exec_time) as total_ms, " QX_ERRORS,
       "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS,
       "group by h.orauser, h.program, h.host, h.ip, h.username, h.service_name",
       "order by execs desc, total_ms desc, h.orauser, h.program, h.host, h.ip, h.username, h.service_name limit :limit"},
      /* kReportErrors */
      {"select h.error_code, count(*) as execs, max(h.exec_date) as last_seen",
       "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS " and h.error_code <> 0",
       "group by h.error_code order by execs desc, h.error_code"},
      /* kReportSessions */
      {"select grp, count(*) as execs, sum(exec_time) as total_ms, max(exec_time) as max_ms, sum(case when error_code <> 0 then 1 else 0 end) as errors,",
       " count(distinct sql_id) as statements, count(distinct session_id) as sessions, min(exec_date) as first_seen, max(exec_date) as last_seen",
       "from (select case :group_by when 'user' then h.orauser when 'program' then h.program when 'host' then h.host when 'ip' then h.ip when 'osuser' then h.username else h.service_name end as grp,",
       " h.exec_time, h.error_code, h.sql_id, h.session_id, h.exec_date from qx_client_sql_history h where " QX_FILTERS ") t",
       "group by grp order by total_ms desc, grp"},
      /* kReportAllPerHour */
      {"select substr(h.exec_date, 1, 13) as hour, count(*) as execs, sum(h.exec_time) as total_ms, " QX_ERRORS,
       "from qx_client_sql_history h where " QX_FILTERS,
       "group by substr(h.exec_date, 1, 13) order by hour"},
      /* kReportAllErrors */
      {"select h.error_code, count(*) as execs, max(h.exec_date) as last_seen",
       "from qx_client_sql_history h where " QX_FILTERS " and h.error_code <> 0",
       "group by h.error_code order by execs desc, h.error_code"},
      /* kAdminPurgeBatch */
      {"select id, sql_id, exec_date from qx_client_sql_history where exec_date < :before",
       "order by exec_date, id limit :batch"},
      /* kAdminPurgeHistory */
      {" delete from qx_client_sql_history where exec_date < :before and (exec_date < :last_date or (exec_date = :last_date and id <= :last_id))"},
      /* kAdminPurgeStatement */
      {" delete from qx_client_sql where id = :id and not exists (select 1 from qx_client_sql_history where sql_id = :id)"},
      /* kAdminListServices */
      {"select id, name, oracle_host, oracle_port, work_port, manage_port, ipinterface",
       "from QX_SERVICE_LIST order by id"},
      /* kAdminFindServiceById */
      {"select * from QX_SERVICE_LIST where id = :id"},
      /* kAdminInsertService */
      {QX_NEXTVAL("qx_service_id_seq", "id"),
       "insert into QX_SERVICE_LIST (id, name, oracle_host, oracle_port, work_port, manage_port, "
       "ipinterface)",
       " values (:id, :name, :oracle_host, :oracle_port, :work_port, :manage_port, :ipinterface);"},
      /* kAdminDeleteService */
      {"delete from qx_service_filter where service_id = :id;",
       "delete from qx_sql_filter where service_id = :id;",
       "delete from QX_SERVICE_LIST where id = :id;"},
      /* kAdminListServiceFilters */
      {"select f.id, f.service_id, s.name as service, f.filter_type, f.service_name, f.sid, "
       "f.program, f.host, f.username, f.orauser, f.date_expr, f.enabled",
       "from qx_service_filter f left join QX_SERVICE_LIST s on s.id = f.service_id",
       "where :service_id = 0 or f.service_id = :service_id order by f.id"},
      /* kAdminFindServiceFilter */
      {"select * from qx_service_filter where id = :id"},
      /* kAdminInsertServiceFilter */
      {QX_NEXTVAL("qx_service_filter_id_seq", "id"),
       "insert into qx_service_filter (id, service_id, filter_type, service_name, sid, program, "
       "host, username, orauser, date_expr, enabled)",
       " values (:id, :service_id, :filter_type, :service_name, :sid, :program, :host, "
       ":username, :orauser, :date_expr, :enabled);"},
      /* kAdminSetServiceFilterEnabled */
      {"update qx_service_filter set enabled = :enabled where id = :id"},
      /* kAdminDeleteServiceFilter */
      {"delete from qx_service_filter where id = :id"},
      /* kAdminListSqlFilters */
      {"select f.id, f.service_id, s.name as service, f.filter_type, f.exec_date_expr, "
       "f.exec_time, f.sqlstatement, f.object_list, f.enabled",
       "from qx_sql_filter f left join QX_SERVICE_LIST s on s.id = f.service_id",
       "where :service_id = 0 or f.service_id = :service_id order by f.id"},
      /* kAdminFindSqlFilter */
      {"select * from qx_sql_filter where id = :id"},
      /* kAdminInsertSqlFilter */
      {QX_NEXTVAL("qx_sql_filter_id_seq", "id"),
       "insert into qx_sql_filter (id, service_id, filter_type, exec_date_expr, exec_time, "
       "sqlstatement, object_list, enabled)",
       " values (:id, :service_id, :filter_type, :exec_date_expr, :exec_time, :sqlstatement, "
       ":object_list, :enabled);"},
      /* kAdminSetSqlFilterEnabled */
      {"update qx_sql_filter set enabled = :enabled where id = :id"},
      /* kAdminDeleteSqlFilter */
      {"delete from qx_sql_filter where id = :id"},
  }};
  return table;
}

#undef QX_NEXTVAL
#undef QX_FILTERS
#undef QX_SCOPE
#undef QX_BUCKET
#undef QX_ERRORS
#undef QX_TIME_WINDOW

}  // namespace

const std::vector<std::string>& SqliteText(SqlId id) {
  return SqliteTable()[static_cast<size_t>(id)];
}

}  // namespace qx::repository
