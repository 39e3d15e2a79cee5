// The repository schema table and the DDL both backends make from it.
#include "repository/schema.h"

#include <stdexcept>

namespace qx::repository {
namespace {

using T = ColumnDef::Type;

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out;
}

std::string TypeDdl(Backend backend, const ColumnDef& c) {
  const bool ora = backend == Backend::kOracle;
  const std::string w = std::to_string(c.width);
  switch (c.type) {
    case T::kInteger:
      return "NUMBER(" + w + ")";
    case T::kNumber:
      return "NUMBER";
    case T::kText:
      return ora ? "VARCHAR2(" + w + " CHAR)" : "VARCHAR2(" + w + ")";
    case T::kBytesText:
      return ora ? "VARCHAR2(" + std::to_string(2 * c.width) + " BYTE)" : "VARCHAR2(" + w + ")";
    case T::kFlag:
      return ora ? "CHAR(1 CHAR)" : "CHAR(1)";
    case T::kDate:
      return ora ? "DATE" : "TEXT";
  }
  return "";
}

// On SQLite a single integer key column declared INTEGER is the table's rowid: the rows are
// kept in its order and no separate index of the key is made and written beside the table.
bool IsSqliteRowid(Backend backend, const TableDef& t, const ColumnDef& c) {
  return backend == Backend::kSqlite && t.primary_key.size() == 1 &&
         Lower(t.primary_key[0]) == Lower(c.name) && c.type == T::kInteger;
}

std::string TableDdl(Backend backend, const TableDef& t) {
  std::vector<std::string> parts;
  for (const ColumnDef& c : t.columns) {
    parts.push_back(IsSqliteRowid(backend, t, c)
                        ? c.name + " INTEGER" + (c.not_null ? " NOT NULL" : "")
                        : ColumnDdl(backend, c));
  }
  if (!t.primary_key.empty()) {
    parts.push_back("CONSTRAINT " + Lower(t.name) + "_pk PRIMARY KEY (" + Joined(t.primary_key) +
                    ")");
  }
  for (const auto& fk : t.foreign_keys) {
    parts.push_back("CONSTRAINT " + Lower(t.name) + "_fk FOREIGN KEY (" + fk.column +
                    ") REFERENCES " + fk.references + " (id)");
  }
  return "CREATE TABLE " + t.name + " ( " + Joined(parts) + " )";
}

std::string IndexDdl(const IndexDef& i) {
  return "CREATE INDEX " + i.name + " ON " + i.table + " (" + Joined(i.columns) + ")";
}

}  // namespace

const std::vector<TableDef>& Tables() {
  namespace w = width;
  static const std::vector<TableDef> tables = {
      {"QX_SERVICE_LIST",
       {{"id", T::kInteger, 10, true, ""},
        {"name", T::kText, w::kServiceName, true, ""},
        {"oracle_host", T::kText, w::kOracleHost, true, ""},
        {"oracle_port", T::kInteger, 5, true, ""},
        {"work_port", T::kInteger, 5, true, "0"},
        {"manage_port", T::kInteger, 5, true, ""},
        {"ipinterface", T::kText, w::kIpInterface, false, ""}},
       {"id"},
       {}},
      {"qx_service_filter",
       {{"id", T::kInteger, 10, true, ""},
        {"service_id", T::kInteger, 10, true, ""},
        {"filter_type", T::kText, w::kFilterType, false, ""},
        {"service_name", T::kText, w::kFilterServiceName, false, ""},
        {"sid", T::kText, w::kFilterSid, false, ""},
        {"program", T::kText, w::kFilterProgram, false, ""},
        {"host", T::kText, w::kFilterHost, false, ""},
        {"username", T::kText, w::kFilterUsername, false, ""},
        {"orauser", T::kText, w::kFilterOrauser, false, ""},
        {"date_expr", T::kText, w::kDateExpr, false, ""},
        {"enabled", T::kFlag, 1, false, "'Y'"}},
       {"id"},
       {{"service_id", "QX_SERVICE_LIST"}}},
      {"qx_sql_filter",
       {{"id", T::kInteger, 10, true, ""},
        {"service_id", T::kInteger, 10, true, ""},
        {"filter_type", T::kText, w::kFilterType, false, ""},
        {"exec_date_expr", T::kText, w::kDateExpr, false, ""},
        {"exec_time", T::kText, w::kExecTime, false, ""},
        {"sqlstatement", T::kText, w::kSqlStatement, false, ""},
        {"object_list", T::kText, w::kObjectList, false, ""},
        {"enabled", T::kFlag, 1, false, "'Y'"}},
       {"id"},
       {{"service_id", "QX_SERVICE_LIST"}}},
      {"qx_service_status",
       {{"service_id", T::kInteger, 10, true, ""},
        {"host", T::kText, w::kStatusHost, true, ""},
        {"service_start", T::kDate, 0, false, ""},
        {"last_update", T::kDate, 0, false, ""}},
       {"service_id", "host"},
       {}},
      {"qx_client_sql",
       {{"id", T::kInteger, 12, true, ""},
        {"sqlhash", T::kText, w::kSqlHash, true, ""},
        {"sqltext", T::kBytesText, w::kSqlPiece, false, ""},
        {"sqltext1", T::kBytesText, w::kSqlPiece, false, ""},
        {"sqltext2", T::kBytesText, w::kSqlPiece, false, ""},
        {"sqltext3", T::kBytesText, w::kSqlPiece, false, ""},
        // Added by upgrades: the statement's fingerprint (sql/fingerprint.h), NULL until known.
        {"fingerprint_hash", T::kText, w::kFingerprintHash, false, ""},
        {"fingerprint", T::kBytesText, w::kFingerprint, false, ""}},
       {"id"},
       {}},
      {"qx_client_sql_history",
       {{"id", T::kInteger, 15, true, ""},
        {"sql_id", T::kInteger, 12, true, ""},
        {"srvc_id", T::kInteger, 10, false, ""},
        {"exec_date", T::kDate, 0, false, ""},
        {"exec_time", T::kNumber, 0, false, ""},
        {"session_id", T::kInteger, 15, false, ""},
        {"host", T::kText, w::kHistHost, false, ""},
        {"ip", T::kText, w::kHistIp, false, ""},
        {"orauser", T::kText, w::kHistOrauser, false, ""},
        {"service_name", T::kText, w::kHistServiceName, false, ""},
        {"sid", T::kText, w::kHistSid, false, ""},
        {"program", T::kBytesText, w::kHistProgram, false, ""},
        {"username", T::kText, w::kHistUsername, false, ""},
        // Added by upgrades (Upgrades()): NULL when the outcome is unknown.
        {"rows_processed", T::kNumber, 0, false, ""},
        {"error_code", T::kInteger, 10, false, ""}},
       {"id"},
       {}},
  };
  return tables;
}

const std::vector<IndexDef>& Indexes() {
  static const std::vector<IndexDef> indexes = {
      {"qx_service_filter_svc", "qx_service_filter", {"service_id"}},
      {"qx_sql_filter_svc", "qx_sql_filter", {"service_id"}},
      {"qx_service_status_host", "qx_service_status", {"host"}},
      {"qx_client_sql_hash", "qx_client_sql", {"sqlhash"}},
      {"qx_client_sql_history_date", "qx_client_sql_history", {"exec_date"}},
      {"qx_client_sql_fp", "qx_client_sql", {"fingerprint_hash"}},
      {"qx_client_sql_history_svc", "qx_client_sql_history", {"srvc_id", "exec_date"}},
      // One statement's times, in a window or not, read from the index alone (reports).
      {"qx_client_sql_history_sql_time", "qx_client_sql_history", {"sql_id", "exec_date", "exec_time"}},
  };
  return indexes;
}

const std::vector<SequenceDef>& Sequences() {
  static const std::vector<SequenceDef> sequences = {
      {"qx_session_id_seq", 100},        {"qx_client_sql_id_seq", 100},
      {"qx_client_sqlhist_id_seq", 1000}, {"qx_service_id_seq", 0},
      {"qx_service_filter_id_seq", 0},   {"qx_sql_filter_id_seq", 0},
  };
  return sequences;
}

const TableDef& FindTable(const std::string& name) {
  for (const TableDef& t : Tables()) {
    if (Lower(t.name) == Lower(name)) return t;
  }
  throw std::out_of_range("No table " + name + " in the schema");
}

const ColumnDef& FindColumn(const std::string& table, const std::string& column) {
  for (const ColumnDef& c : FindTable(table).columns) {
    if (Lower(c.name) == Lower(column)) return c;
  }
  throw std::out_of_range("No column " + table + "." + column + " in the schema");
}

std::string ColumnDdl(Backend backend, const ColumnDef& c) {
  std::string out = c.name + " " + TypeDdl(backend, c);
  if (!c.default_value.empty()) out += " DEFAULT " + c.default_value;
  if (c.not_null) out += " NOT NULL";
  return out;
}

std::vector<std::string> SchemaDdl(Backend backend) {
  std::vector<std::string> out;
  for (const TableDef& t : Tables()) {
    out.push_back(TableDdl(backend, t));
    for (const IndexDef& i : Indexes()) {
      if (i.table == t.name) out.push_back(IndexDdl(i));
    }
  }
  if (backend == Backend::kOracle) {
    for (const SequenceDef& s : Sequences()) {
      out.push_back("CREATE SEQUENCE " + s.name + " START WITH 1 INCREMENT BY 1 " +
                    (s.cache ? "CACHE " + std::to_string(s.cache) : std::string("NOCACHE")) +
                    " NOCYCLE");
    }
  } else {
    // SQLite has no sequences: each is a row of qx_sequences, its value the last one given.
    out.push_back("CREATE TABLE qx_sequences ( name VARCHAR2(30) NOT NULL PRIMARY KEY, "
                  "value INTEGER NOT NULL )");
    std::string rows;
    for (const SequenceDef& s : Sequences()) rows += (rows.empty() ? "" : ", ") + ("('" + s.name + "', 0)");
    out.push_back("INSERT INTO qx_sequences (name, value) VALUES " + rows);
  }
  return out;
}

const std::vector<SchemaObject>& SchemaObjects() {
  static const std::vector<SchemaObject> objects = [] {
    std::vector<SchemaObject> out;
    for (const TableDef& t : Tables()) {
      out.push_back({"table", t.name});
      for (const IndexDef& i : Indexes()) {
        if (i.table == t.name) out.push_back({"index", i.name});
      }
    }
    for (const SequenceDef& s : Sequences()) out.push_back({"sequence", s.name});
    return out;
  }();
  return objects;
}

const std::vector<UpgradeStep>& Upgrades() {
  using K = UpgradeStep::Kind;
  static const std::vector<UpgradeStep> steps = {
      // Repositories made by SQLite init before the schema table had no history indexes.
      {K::kIndex, "qx_service_filter", "qx_service_filter_svc", "service filters by service"},
      {K::kIndex, "qx_sql_filter", "qx_sql_filter_svc", "SQL filters by service"},
      {K::kIndex, "qx_service_status", "qx_service_status_host", "status rows by host"},
      {K::kIndex, "qx_client_sql_history", "qx_client_sql_history_date", "executions by time"},
      {K::kColumn, "qx_client_sql_history", "rows_processed", "rows each execution processed"},
      {K::kColumn, "qx_client_sql_history", "error_code", "Oracle error of each execution"},
      {K::kColumn, "qx_client_sql", "fingerprint_hash", "statements grouped by fingerprint"},
      {K::kColumn, "qx_client_sql", "fingerprint", "the fingerprint's text"},
      {K::kIndex, "qx_client_sql", "qx_client_sql_fp", "statements by fingerprint"},
      {K::kIndex, "qx_client_sql_history", "qx_client_sql_history_svc",
       "executions by service and time"},
      {K::kIndex, "qx_client_sql_history", "qx_client_sql_history_sql_time",
       "each statement's times, for reports"},
      // Its column leads qx_client_sql_history_sql_time, which serves every look-up by
      // statement; kept, it only cost each written row one more index insert.
      {K::kDropIndex, "qx_client_sql_history", "qx_client_sql_history_sql",
       "executions by statement, which qx_client_sql_history_sql_time serves"},
  };
  return steps;
}

std::string UpgradeDdl(Backend backend, const UpgradeStep& step) {
  if (step.kind == UpgradeStep::Kind::kDropIndex) return "DROP INDEX " + step.name;
  if (step.kind == UpgradeStep::Kind::kIndex) {
    for (const IndexDef& i : Indexes()) {
      if (i.name == step.name) return IndexDdl(i);
    }
    throw std::out_of_range("No index " + step.name + " in the schema");
  }
  const ColumnDef& c = FindColumn(step.table, step.name);
  if (backend == Backend::kOracle) return "ALTER TABLE " + step.table + " ADD (" + ColumnDdl(backend, c) + ")";
  return "ALTER TABLE " + step.table + " ADD COLUMN " + ColumnDdl(backend, c);
}

}  // namespace qx::repository
