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

const std::vector<std::string>& OracleAdminText(SqlId id) {
  static const std::map<SqlId, std::vector<std::string>> texts = {
      {SqlId::kAdminCreateSchema, CreateSchemaBlock()},
      {SqlId::kAdminListIndexes, {"select index_name from user_indexes"}},
      {SqlId::kAdminStatementsToFingerprint,
       {"select id, sqltext, sqltext1, sqltext2, sqltext3 from qx_client_sql",
        "where fingerprint_hash is null and id > :after order by id fetch first 500 rows only"}},
      {SqlId::kReportTop,
       {"select h.sql_id, count(*) as execs, sum(h.exec_time) as total_ms, max(h.exec_time) as max_ms, sum(h.rows_processed) as row_count, sum(case when h.error_code <> 0 then 1 else 0 end) as errors, min(h.exec_date) as first_seen, max(h.exec_date) as last_seen,",
        " s.fingerprint_hash, s.fingerprint, s.sqltext, s.sqltext1, s.sqltext2, s.sqltext3",
        "from qx_client_sql_history h join qx_client_sql s on s.id = h.sql_id",
        "where h.exec_date >= :since and h.exec_date < :until and (:srvc_id = 0 or h.srvc_id = :srvc_id) and (:orauser is null or h.orauser = :orauser) and (:program is null or h.program = :program) and (:host is null or h.host = :host) and h.exec_time >= :min_time",
        "group by h.sql_id, s.fingerprint_hash, s.fingerprint, s.sqltext, s.sqltext1, s.sqltext2, s.sqltext3"}},
      {SqlId::kReportTimes,
       {"select h.exec_time from qx_client_sql_history h",
       "where h.sql_id = :sql_id and h.exec_date >= :since and h.exec_date < :until and (:srvc_id = 0 or h.srvc_id = :srvc_id) and (:orauser is null or h.orauser = :orauser) and (:program is null or h.program = :program) and (:host is null or h.host = :host) and h.exec_time >= :min_time",
       "order by h.exec_time"}},
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
  static const std::vector<std::string> none;
  const auto it = texts.find(id);
  return it == texts.end() ? none : it->second;
}

}  // namespace qx::repository
