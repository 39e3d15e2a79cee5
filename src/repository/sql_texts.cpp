// The texts of every repository statement, one table per backend. The Oracle table is the
// reference: the service has always sent exactly these bytes (blanks and line splits included),
// and administrators' traces and audit tools may match on them.
#include "repository/sql_texts.h"

#include <array>

namespace qx::repository {
namespace {

using Lines = std::vector<std::string>;

const std::array<Lines, static_cast<size_t>(SqlId::kCount)>& OracleTable() {
  static const std::array<Lines, static_cast<size_t>(SqlId::kCount)> table = {{
      /* kCheckInstalled */
      {"select * from user_tables where table_name = 'QX_SERVICE_LIST' "},
      /* kDeleteStatusRows */
      {"begin delete from qx_service_status where host = :host; commit; end;"},
      /* kLoadService */
      {"select * from QX_SERVICE_LIST where Upper(name) = :name"},
      /* kLoadServiceFilters */
      {"select * from qx_service_filter where service_id = :service_id and enabled = 'Y' "},
      /* kLoadSqlFilters */
      {"select * from qx_sql_filter where service_id = :service_id and enabled = 'Y' "},
      /* kInsertStatusRow */
      {"begin /*$QXC$*/",
       " insert into qx_service_status (service_id, host, service_start, last_update) values "
       "(:service_id, :host, sysdate, sysdate); commit; end;"},
      /* kUpdateStatusRow */
      {"begin update qx_service_status set last_update = sysdate where service_id = :service_id "
       "and host = :host; commit; end;"},
      /* kNextSessionId */
      {"select qx_session_id_seq.nextval from dual"},
      /* kFindSqlByHash */
      {"select id from qx_client_sql where sqlhash = :sqlhash "},
      /* kInsertSql */
      {"begin /*$QXC$*/",
       " select qx_client_sql_id_seq.nextval into :sqlId from dual; ",
       " insert into QX_CLIENT_SQL (id, sqlhash, sqltext, sqltext1, sqltext2, sqltext3) ",
       " values ( :sqlId , :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3);",
       " commit;",
       "end;"},
      /* kInsertSqlHistory */
      {"begin /*$QXC$*/",
       "  insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username) ",
       "  values (qx_client_sqlhist_id_seq.nextval, :sql_id, :srvc_id, :exec_date, :exec_time, "
       ":session_id, :host, :ip, :orauser, :service_name, :sid, :program, :username); ",
       "  commit;",
       "end;"},
      /* kInsertSqlHistoryOutcome */
      {"begin /*$QXC$*/",
       "  insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username, rows_processed, "
       "error_code) ",
       "  values (qx_client_sqlhist_id_seq.nextval, :sql_id, :srvc_id, :exec_date, :exec_time, "
       ":session_id, :host, :ip, :orauser, :service_name, :sid, :program, :username, "
       ":rows_processed, :error_code); ",
       "  commit;",
       "end;"},
      /* kListColumns */
      {"select column_name from user_tab_columns where table_name = :table_name"},
      /* kInsertSqlFingerprint */
      {"begin /*$QXC$*/",
       " select qx_client_sql_id_seq.nextval into :sqlId from dual; ",
       " insert into QX_CLIENT_SQL (id, sqlhash, sqltext, sqltext1, sqltext2, sqltext3, "
       "fingerprint_hash, fingerprint) ",
       " values ( :sqlId , :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3, "
       ":fingerprint_hash, :fingerprint);",
       " commit;",
       "end;"},
      /* kEnsureSpoolMark */
      {"declare n number; begin",
       " select count(*) into n from user_tables where table_name = 'QX_SPOOL_MARK';",
       " if n = 0 then execute immediate 'create table qx_spool_mark (instance varchar2(1000) "
       "primary key, seq number not null)'; end if;",
       "end;"},
      /* kSpoolMark */
      {"select seq from qx_spool_mark where instance = :instance"},
      /* kInsertSqlHistorySpooled */
      {"begin /*$QXC$*/",
       "  insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username) ",
       "  values (qx_client_sqlhist_id_seq.nextval, :sql_id, :srvc_id, :exec_date, :exec_time, "
       ":session_id, :host, :ip, :orauser, :service_name, :sid, :program, :username); ",
       "  merge into qx_spool_mark m using (select :instance instance, :spool_seq seq from dual) s",
       "  on (m.instance = s.instance) when matched then update set m.seq = greatest(m.seq, s.seq)",
       "  when not matched then insert (instance, seq) values (s.instance, s.seq);",
       "  commit;",
       "end;"},
      /* kInsertSqlHistoryOutcomeSpooled */
      {"begin /*$QXC$*/",
       "  insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username, rows_processed, "
       "error_code) ",
       "  values (qx_client_sqlhist_id_seq.nextval, :sql_id, :srvc_id, :exec_date, :exec_time, "
       ":session_id, :host, :ip, :orauser, :service_name, :sid, :program, :username, "
       ":rows_processed, :error_code); ",
       "  merge into qx_spool_mark m using (select :instance instance, :spool_seq seq from dual) s",
       "  on (m.instance = s.instance) when matched then update set m.seq = greatest(m.seq, s.seq)",
       "  when not matched then insert (instance, seq) values (s.instance, s.seq);",
       "  commit;",
       "end;"},
      /* kReserveSqlHistoryIds */
      {"select qx_client_sqlhist_id_seq.nextval as last_id from dual connect by level <= :count"},
      /* kInsertSqlHistoryWithId */
      {"begin /*$QXC$*/",
       "  insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username) ",
       "  values (:id, :sql_id, :srvc_id, :exec_date, :exec_time, "
       ":session_id, :host, :ip, :orauser, :service_name, :sid, :program, :username); ",
       "  commit;",
       "end;"},
      /* kInsertSqlHistoryOutcomeWithId */
      {"begin /*$QXC$*/",
       "  insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, "
       "session_id, host, ip, orauser, service_name, sid, program, username, rows_processed, "
       "error_code) ",
       "  values (:id, :sql_id, :srvc_id, :exec_date, :exec_time, "
       ":session_id, :host, :ip, :orauser, :service_name, :sid, :program, :username, "
       ":rows_processed, :error_code); ",
       "  commit;",
       "end;"},
      /* kSetSpoolMark */
      {"begin /*$QXC$*/",
       "  merge into qx_spool_mark m using (select :instance instance, :spool_seq seq from dual) s",
       "  on (m.instance = s.instance) when matched then update set m.seq = greatest(m.seq, s.seq)",
       "  when not matched then insert (instance, seq) values (s.instance, s.seq);",
       "  commit;",
       "end;"},
      /* kReserveSqlIds */
      {"select qx_client_sql_id_seq.nextval as last_id from dual connect by level <= :count"},
      /* kInsertSqlWithId */
      {"begin /*$QXC$*/",
       " insert into QX_CLIENT_SQL (id, sqlhash, sqltext, sqltext1, sqltext2, sqltext3) ",
       " values (:id, :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3);",
       " commit;",
       "end;"},
      /* kInsertSqlFingerprintWithId */
      {"begin /*$QXC$*/",
       " insert into QX_CLIENT_SQL (id, sqlhash, sqltext, sqltext1, sqltext2, sqltext3, "
       "fingerprint_hash, fingerprint) ",
       " values (:id, :sqlhash, :sqltext, :sqltext1, :sqltext2, :sqltext3, :fingerprint_hash, "
       ":fingerprint);",
       " commit;",
       "end;"},
  }};
  return table;
}

}  // namespace

const std::vector<std::string>& OracleText(SqlId id) {
  if (id >= SqlId::kAdminCreateSchema) return OracleAdminText(id);
  return OracleTable()[static_cast<size_t>(id)];
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    out += lines[i];
  }
  return out;
}

}  // namespace qx::repository
