// Checks the administrators' Oracle schema script (docs/oracle-schema.sql) against what the
// service uses: every table and column it reads or writes, every sequence, and text columns
// wide enough for the longest value the service binds to them.
#include <gtest/gtest.h>

#include <map>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "repository/oracle/bind_names.h"

namespace qx::repository {
namespace {

using oracle::UpperAscii;

bool IsWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' || c == '#';
}

// Column name -> declared type text (upper case), for each CREATE TABLE of the script.
std::map<std::string, std::map<std::string, std::string>> Tables(const std::string& script) {
  std::map<std::string, std::map<std::string, std::string>> tables;
  const std::string sql = UpperAscii(script);
  const std::string create = "CREATE TABLE ";
  for (size_t at = sql.find(create); at != std::string::npos; at = sql.find(create, at + 1)) {
    size_t p = at + create.size();
    size_t q = p;
    while (q < sql.size() && IsWordChar(sql[q])) ++q;
    auto& columns = tables[sql.substr(p, q - p)];
    const size_t open = sql.find('(', q);
    const size_t close = sql.find("\n);", q);
    if (open == std::string::npos || close == std::string::npos) break;
    // One column per line: its name, then its type up to the closing parenthesis if any.
    std::string line;
    for (size_t i = open + 1; i <= close; ++i) {
      if (sql[i] != '\n') {
        line += sql[i];
        continue;
      }
      size_t b = line.find_first_not_of(' ');
      if (b != std::string::npos && IsWordChar(line[b])) {
        size_t e = b;
        while (e < line.size() && IsWordChar(line[e])) ++e;
        const std::string name = line.substr(b, e - b);
        const size_t t = line.find_first_not_of(' ', e);
        size_t te = t == std::string::npos ? t : line.find_first_of(" ,", t);
        if (t != std::string::npos && line.find('(', t) != std::string::npos &&
            line.find('(', t) <= te)
          te = line.find(')', t) + 1;
        if (name != "CONSTRAINT" && t != std::string::npos) columns[name] = line.substr(t, te - t);
      }
      line.clear();
    }
  }
  return tables;
}

// Characters a VARCHAR2 column holds for the service's single-byte client character set:
// n for (n CHAR), n/2 for (n BYTE) or (n) (a byte may become two in AL32UTF8).
int Capacity(const std::string& type) {
  if (type.rfind("VARCHAR2(", 0) != 0) return 0;
  const int n = std::atoi(type.c_str() + 9);
  return type.find("CHAR)") != std::string::npos ? n : n / 2;
}

TEST(OracleSchemaTest, ScriptHoldsEveryObjectAndWidthTheServiceUses) {
  std::string sql;
  ASSERT_TRUE(platform::ReadFile(std::string(QX_SOURCE_DIR) + "/docs/oracle-schema.sql", &sql));
  const auto tables = Tables(sql);
  const std::map<std::string, std::map<std::string, int>> used = {
      {"QX_SERVICE_LIST",
       {{"ID", 0}, {"NAME", 0}, {"ORACLE_HOST", 0}, {"ORACLE_PORT", 0}, {"WORK_PORT", 0},
        {"MANAGE_PORT", 0}, {"IPINTERFACE", 15}}},
      {"QX_SERVICE_FILTER",
       {{"ID", 0}, {"SERVICE_ID", 0}, {"FILTER_TYPE", 7}, {"SERVICE_NAME", 0}, {"SID", 0},
        {"PROGRAM", 0}, {"HOST", 0}, {"USERNAME", 0}, {"ORAUSER", 0}, {"DATE_EXPR", 0},
        {"ENABLED", 0}}},
      {"QX_SQL_FILTER",
       {{"ID", 0}, {"SERVICE_ID", 0}, {"FILTER_TYPE", 7}, {"EXEC_DATE_EXPR", 0},
        {"EXEC_TIME", 0}, {"SQLSTATEMENT", 0}, {"OBJECT_LIST", 0}, {"ENABLED", 0}}},
      {"QX_SERVICE_STATUS",
       {{"SERVICE_ID", 0}, {"HOST", 255}, {"SERVICE_START", 0}, {"LAST_UPDATE", 0}}},
      {"QX_CLIENT_SQL",
       {{"ID", 0}, {"SQLHASH", 45}, {"SQLTEXT", 2000}, {"SQLTEXT1", 2000}, {"SQLTEXT2", 2000},
        {"SQLTEXT3", 2000}}},
      {"QX_CLIENT_SQL_HISTORY",
       {{"ID", 0}, {"SQL_ID", 0}, {"SRVC_ID", 0}, {"EXEC_DATE", 0}, {"EXEC_TIME", 0},
        {"SESSION_ID", 0}, {"HOST", 200}, {"IP", 30}, {"ORAUSER", 30}, {"SERVICE_NAME", 100},
        {"SID", 20}, {"PROGRAM", 2000}, {"USERNAME", 100}}},
  };
  for (const auto& [table, columns] : used) {
    auto t = tables.find(table);
    ASSERT_NE(t, tables.end()) << table;
    for (const auto& [column, width] : columns) {
      auto c = t->second.find(column);
      ASSERT_NE(c, t->second.end()) << table << "." << column;
      if (width > 0) {
        EXPECT_GE(Capacity(c->second), width) << table << "." << column;
      }
    }
  }
  EXPECT_EQ(tables.at("QX_CLIENT_SQL_HISTORY").at("EXEC_DATE"), "DATE");
  for (const char* seq : {"QX_SESSION_ID_SEQ ", "QX_CLIENT_SQL_ID_SEQ ", "QX_CLIENT_SQLHIST_ID_SEQ "})
    EXPECT_NE(UpperAscii(sql).find(std::string("CREATE SEQUENCE ") + seq), std::string::npos) << seq;
}

}  // namespace
}  // namespace qx::repository
