// The repository schema as one table: every table with its columns (type, width, nullability),
// every index and sequence. Both backends' DDL is made from it (SchemaDdl), so an Oracle and a
// SQLite repository declare the same widths and qxadmin refuses input neither would hold.
// Columns and indexes added after a repository was first created are listed in Upgrades(),
// which `qxadmin upgrade` applies and the service checks for at start.
//
// Threading: immutable tables, built on first use; pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qx::repository {

enum class Backend { kOracle, kSqlite };

// Widths (characters) of the text columns, as both backends declare them.
namespace width {
constexpr size_t kServiceName = 100;  // QX_SERVICE_LIST.name
constexpr size_t kOracleHost = 200;   // QX_SERVICE_LIST.oracle_host
constexpr size_t kIpInterface = 45;   // QX_SERVICE_LIST.ipinterface
constexpr size_t kFilterType = 10;    // filter_type of both filter tables
constexpr size_t kFilterServiceName = 200;
constexpr size_t kFilterSid = 100;
constexpr size_t kFilterProgram = 2000;
constexpr size_t kFilterHost = 200;
constexpr size_t kFilterUsername = 100;
constexpr size_t kFilterOrauser = 128;
constexpr size_t kDateExpr = 2000;  // date_expr, exec_date_expr
constexpr size_t kExecTime = 30;
constexpr size_t kSqlStatement = 2000;
constexpr size_t kObjectList = 2000;
constexpr size_t kStatusHost = 255;  // qx_service_status.host
constexpr size_t kSqlHash = 45;
constexpr size_t kSqlPiece = 2000;  // each of sqltext..sqltext3
constexpr size_t kFingerprintHash = 16;
constexpr size_t kFingerprint = 2000;  // the fingerprint's first characters
constexpr size_t kHistHost = 200;
constexpr size_t kHistIp = 30;
constexpr size_t kHistOrauser = 30;
constexpr size_t kHistServiceName = 100;
constexpr size_t kHistSid = 20;
constexpr size_t kHistProgram = 2000;
constexpr size_t kHistUsername = 100;
}  // namespace width

struct ColumnDef {
  enum class Type {
    kInteger,    // NUMBER(width digits)
    kNumber,     // NUMBER
    kText,       // up to `width` characters: VARCHAR2(width CHAR) on Oracle
    kBytesText,  // up to `width` single-byte characters: VARCHAR2(2*width BYTE) on Oracle
    kFlag,       // one character
    kDate,       // DATE on Oracle, TEXT "YYYY-MM-DD HH:MM:SS" on SQLite
  };
  std::string name;
  Type type;
  size_t width = 0;
  bool not_null = false;
  std::string default_value;  // SQL literal, or empty
};

struct TableDef {
  std::string name;
  std::vector<ColumnDef> columns;
  std::vector<std::string> primary_key;  // empty: none
  struct ForeignKey {
    std::string column, references;  // references: table whose "id" it names
  };
  std::vector<ForeignKey> foreign_keys;
};

struct IndexDef {
  std::string name, table;
  std::vector<std::string> columns;
};

struct SequenceDef {
  std::string name;
  int cache = 0;  // 0: NOCACHE
};

const std::vector<TableDef>& Tables();
const std::vector<IndexDef>& Indexes();
const std::vector<SequenceDef>& Sequences();
const TableDef& FindTable(const std::string& name);  // any letter case; throws std::out_of_range
const ColumnDef& FindColumn(const std::string& table, const std::string& column);

// One column's declaration, "name TYPE [DEFAULT x] [NOT NULL]".
std::string ColumnDdl(Backend backend, const ColumnDef& column);
// The statements that create the whole schema, in creation order.
std::vector<std::string> SchemaDdl(Backend backend);

struct SchemaObject {
  std::string kind;  // "table", "index" or "sequence"
  std::string name;
};

// Every object SchemaDdl creates, in creation order.
const std::vector<SchemaObject>& SchemaObjects();

// What a repository made by an earlier qxadmin init may lack, or hold in vain. Each step adds
// one column or one index, or drops one index; a step whose result is there already is
// skipped, so upgrades can run any number of times.
struct UpgradeStep {
  enum class Kind { kColumn, kIndex, kDropIndex };
  Kind kind;
  std::string table;
  std::string name;  // the column's or the index's
  std::string purpose;  // what it is for, as qxadmin upgrade prints it
};
const std::vector<UpgradeStep>& Upgrades();
// The statement that applies `step`.
std::string UpgradeDdl(Backend backend, const UpgradeStep& step);

}  // namespace qx::repository
