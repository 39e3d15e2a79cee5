// The Oracle texts of qxadmin's statements. Writing blocks end with their own "commit;", as
// every writing block of the system does. The schema (kAdminCreateSchema) is
// docs/oracle-schema.sql run statement by statement; DDL commits by itself.
#include <map>

#include "repository/schema.h"
#include "repository/sql_texts.h"

namespace qx::repository {
namespace {

// The schema's statements in one block, each run by execute immediate.
std::vector<std::string> CreateSchemaBlock() {
  std::vector<std::string> lines = {"begin"};
  for (const std::string& ddl : SchemaDdl(Backend::kOracle)) {
    std::string quoted;
    for (char c : ddl) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    lines.push_back(" execute immediate '" + quoted + "';");
  }
  lines.push_back("end;");
  return lines;
}

}  // namespace

// The report texts' shared pieces: the filters, one statement's or fingerprint's executions
// (the scope), the time buckets of the histograms and the error count.
#define QX_FILTERS "h.exec_date >= :since and h.exec_date < :until and (:srvc_id = 0 or h.srvc_id = :srvc_id) and (:orauser is null or h.orauser = :orauser) and (:program is null or h.program = :program) and (:host is null or h.host = :host) and h.exec_time >= :min_time"
#define QX_SCOPE "h.sql_id in (select s.id from qx_client_sql s where s.id = :sql_id or s.fingerprint_hash = :fingerprint_hash)"
#define QX_BUCKET "case when h.exec_time < 1 then 0 when h.exec_time < 2 then 1 when h.exec_time < 5 then 2 when h.exec_time < 10 then 3 when h.exec_time < 20 then 4 when h.exec_time < 50 then 5 when h.exec_time < 100 then 6 when h.exec_time < 200 then 7 when h.exec_time < 500 then 8 when h.exec_time < 1000 then 9 when h.exec_time < 2000 then 10 when h.exec_time < 5000 then 11 when h.exec_time < 10000 then 12 else 13 end"
#define QX_TIME_WINDOW "h.exec_date >= :since and h.exec_date < :until and h.exec_time >= :min_time"
#define QX_ERRORS "sum(case when h.error_code <> 0 then 1 else 0 end) as errors"

const std::vector<std::string>& OracleAdminText(SqlId id) {
  static const std::map<SqlId, std::vector<std::string>> texts = {
      {SqlId::kAdminCreateSchema, CreateSchemaBlock()},
      {SqlId::kAdminListIndexes, {"select index_name from user_indexes"}},
      {SqlId::kAdminStatementsToFingerprint,
       {"select id, sqltext, sqltext1, sqltext2, sqltext3 from qx_client_sql",
        "where fingerprint_hash is null and id > :after order by id fetch first 500 rows only"}},
      {SqlId::kReportTop,
       {"select a.sql_id, a.execs, a.total_ms, a.max_ms, a.row_count, a.errors, s.fingerprint_hash from",
        "(select h.sql_id, count(*) as execs, sum(h.exec_time) as total_ms, max(h.exec_time) as max_ms, sum(h.rows_processed) as row_count, " QX_ERRORS,
        " from qx_client_sql_history h where " QX_FILTERS " group by h.sql_id) a",
        "left join qx_client_sql s on s.id = a.sql_id"}},
      {SqlId::kReportTimesAtRanks,
       {"select rn, n, exec_time, first_seen, last_seen from (select h.exec_time, row_number() over (order by h.exec_time) as rn, count(*) over () as n,",
        " min(h.exec_date) over () as first_seen, max(h.exec_date) over () as last_seen",
        "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS ") t",
        "where rn in (ceil(:p1 * n / 100), ceil(:p2 * n / 100), ceil(:p3 * n / 100)) order by rn"}},
      {SqlId::kReportTimesAtRanksUnfiltered,
       {"select rn, n, exec_time, first_seen, last_seen from (select h.exec_time, row_number() over (order by h.exec_time) as rn, count(*) over () as n,",
        " min(h.exec_date) over () as first_seen, max(h.exec_date) over () as last_seen",
        "from qx_client_sql_history h where " QX_SCOPE " and " QX_TIME_WINDOW ") t",
        "where rn in (ceil(:p1 * n / 100), ceil(:p2 * n / 100), ceil(:p3 * n / 100)) order by rn"}},
      {SqlId::kReportFindStatement,
       {"select id, fingerprint_hash, fingerprint, sqltext, sqltext1, sqltext2, sqltext3 from qx_client_sql s",
        "where s.id = :sql_id or s.fingerprint_hash = :fingerprint_hash order by id fetch first 1 rows only"}},
      {SqlId::kReportScopeSummary,
       {"select count(*) as execs, sum(h.exec_time) as total_ms, min(h.exec_time) as min_ms, max(h.exec_time) as max_ms, sum(h.rows_processed) as row_count,",
        " " QX_ERRORS ", min(h.exec_date) as first_seen, max(h.exec_date) as last_seen",
        "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS}},
      {SqlId::kReportVariants,
       {"select h.sql_id, count(*) as execs, sum(h.exec_time) as total_ms, s.sqltext, s.sqltext1, s.sqltext2, s.sqltext3",
        "from qx_client_sql_history h join qx_client_sql s on s.id = h.sql_id",
        "where s.fingerprint_hash = :fingerprint_hash and " QX_FILTERS,
        "group by h.sql_id, s.sqltext, s.sqltext1, s.sqltext2, s.sqltext3 order by total_ms desc, h.sql_id"}},
      {SqlId::kReportHistogram,
       {"select bucket, count(*) as execs, sum(exec_time) as total_ms from (select " QX_BUCKET " as bucket, h.exec_time",
        "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS ") t",
        "group by bucket order by bucket"}},
      {SqlId::kReportPerHour,
       {"select to_char(h.exec_date, 'YYYY-MM-DD HH24') as hour, count(*) as execs, sum(h.exec_time) as total_ms, " QX_ERRORS,
        "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS,
        "group by to_char(h.exec_date, 'YYYY-MM-DD HH24') order by hour"}},
      {SqlId::kReportWho,
       {"select h.orauser, h.program, h.host, h.ip, h.username, h.service_name, count(*) as execs, sum(h.exec_time) as total_ms, " QX_ERRORS,
        "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS,
        "group by h.orauser, h.program, h.host, h.ip, h.username, h.service_name",
        "order by execs desc, total_ms desc, h.orauser, h.program, h.host, h.ip, h.username, h.service_name fetch first :limit rows only"}},
      {SqlId::kReportErrors,
       {"select h.error_code, count(*) as execs, max(h.exec_date) as last_seen",
        "from qx_client_sql_history h where " QX_SCOPE " and " QX_FILTERS " and h.error_code <> 0",
        "group by h.error_code order by execs desc, h.error_code"}},
      {SqlId::kReportSessions,
       {"select grp, count(*) as execs, sum(exec_time) as total_ms, max(exec_time) as max_ms, sum(case when error_code <> 0 then 1 else 0 end) as errors,",
        " count(distinct sql_id) as statements, count(distinct session_id) as sessions, min(exec_date) as first_seen, max(exec_date) as last_seen",
        "from (select case :group_by when 'user' then h.orauser when 'program' then h.program when 'host' then h.host when 'ip' then h.ip when 'osuser' then h.username else h.service_name end as grp,",
        " h.exec_time, h.error_code, h.sql_id, h.session_id, h.exec_date from qx_client_sql_history h where " QX_FILTERS ") t",
        "group by grp order by total_ms desc, grp"}},
      {SqlId::kReportAllPerHour,
       {"select to_char(h.exec_date, 'YYYY-MM-DD HH24') as hour, count(*) as execs, sum(h.exec_time) as total_ms, " QX_ERRORS,
        "from qx_client_sql_history h where " QX_FILTERS,
        "group by to_char(h.exec_date, 'YYYY-MM-DD HH24') order by hour"}},
      {SqlId::kReportAllErrors,
       {"select h.error_code, count(*) as execs, max(h.exec_date) as last_seen",
        "from qx_client_sql_history h where " QX_FILTERS " and h.error_code <> 0",
        "group by h.error_code order by execs desc, h.error_code"}},
      {SqlId::kAdminPurgeBatch,
       {"select id, sql_id, exec_date from qx_client_sql_history where exec_date < :before",
        "order by exec_date, id fetch first :batch rows only"}},
      {SqlId::kAdminPurgeHistory,
       {"begin",
        " delete from qx_client_sql_history where exec_date < :before and (exec_date < :last_date or (exec_date = :last_date and id <= :last_id));",
        " commit;",
        "end;"}},
      {SqlId::kAdminPurgeStatement,
       {"begin",
        " delete from qx_client_sql where id = :id and not exists (select 1 from qx_client_sql_history where sql_id = :id);",
        " commit;",
        "end;"}},
      {SqlId::kAdminSetFingerprint,
       {"begin update qx_client_sql set fingerprint_hash = :fingerprint_hash, fingerprint = "
        ":fingerprint where id = :id; commit; end;"}},
      {SqlId::kAdminListServices,
       {"select id, name, oracle_host, oracle_port, work_port, manage_port, ipinterface",
        "from QX_SERVICE_LIST order by id"}},
      {SqlId::kAdminFindServiceById, {"select * from QX_SERVICE_LIST where id = :id"}},
      {SqlId::kAdminInsertService,
       {"begin",
        " select qx_service_id_seq.nextval into :id from dual;",
        " insert into QX_SERVICE_LIST (id, name, oracle_host, oracle_port, work_port, "
        "manage_port, ipinterface)",
        " values (:id, :name, :oracle_host, :oracle_port, :work_port, :manage_port, "
        ":ipinterface);",
        " commit;",
        "end;"}},
      {SqlId::kAdminDeleteService,
       {"begin",
        " delete from qx_service_filter where service_id = :id;",
        " delete from qx_sql_filter where service_id = :id;",
        " delete from QX_SERVICE_LIST where id = :id;",
        " commit;",
        "end;"}},
      {SqlId::kAdminListServiceFilters,
       {"select f.id, f.service_id, s.name as service, f.filter_type, f.service_name, f.sid, "
        "f.program, f.host, f.username, f.orauser, f.date_expr, f.enabled",
        "from qx_service_filter f left join QX_SERVICE_LIST s on s.id = f.service_id",
        "where :service_id = 0 or f.service_id = :service_id order by f.id"}},
      {SqlId::kAdminFindServiceFilter, {"select * from qx_service_filter where id = :id"}},
      {SqlId::kAdminInsertServiceFilter,
       {"begin",
        " select qx_service_filter_id_seq.nextval into :id from dual;",
        " insert into qx_service_filter (id, service_id, filter_type, service_name, sid, "
        "program, host, username, orauser, date_expr, enabled)",
        " values (:id, :service_id, :filter_type, :service_name, :sid, :program, :host, "
        ":username, :orauser, :date_expr, :enabled);",
        " commit;",
        "end;"}},
      {SqlId::kAdminSetServiceFilterEnabled,
       {"begin update qx_service_filter set enabled = :enabled where id = :id; commit; end;"}},
      {SqlId::kAdminDeleteServiceFilter,
       {"begin delete from qx_service_filter where id = :id; commit; end;"}},
      {SqlId::kAdminListSqlFilters,
       {"select f.id, f.service_id, s.name as service, f.filter_type, f.exec_date_expr, "
        "f.exec_time, f.sqlstatement, f.object_list, f.enabled",
        "from qx_sql_filter f left join QX_SERVICE_LIST s on s.id = f.service_id",
        "where :service_id = 0 or f.service_id = :service_id order by f.id"}},
      {SqlId::kAdminFindSqlFilter, {"select * from qx_sql_filter where id = :id"}},
      {SqlId::kAdminInsertSqlFilter,
       {"begin",
        " select qx_sql_filter_id_seq.nextval into :id from dual;",
        " insert into qx_sql_filter (id, service_id, filter_type, exec_date_expr, exec_time, "
        "sqlstatement, object_list, enabled)",
        " values (:id, :service_id, :filter_type, :exec_date_expr, :exec_time, :sqlstatement, "
        ":object_list, :enabled);",
        " commit;",
        "end;"}},
      {SqlId::kAdminSetSqlFilterEnabled,
       {"begin update qx_sql_filter set enabled = :enabled where id = :id; commit; end;"}},
      {SqlId::kAdminDeleteSqlFilter,
       {"begin delete from qx_sql_filter where id = :id; commit; end;"}},
  };
#undef QX_FILTERS
#undef QX_SCOPE
#undef QX_BUCKET
#undef QX_ERRORS
#undef QX_TIME_WINDOW
  static const std::vector<std::string> none;
  const auto it = texts.find(id);
  return it == texts.end() ? none : it->second;
}

}  // namespace qx::repository
