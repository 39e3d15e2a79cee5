// The schema both backends create comes from one table: the Oracle script administrators run
// (docs/oracle-schema.sql) is that table's statement list, and the SQLite schema declares the
// same columns with the same widths.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "repository/schema.h"
#include "repository/sql_texts.h"

namespace qx::repository {
namespace {

// The script's statements without comments, blanks collapsed, no blank inside "( " / " )".
std::vector<std::string> ScriptStatements(const std::string& path) {
  std::ifstream in(path);
  std::string line, text;
  while (std::getline(in, line)) text += line.substr(0, line.find("--")) + " ";
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == ';') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  return out;
}

std::string Normal(const std::string& s) {
  std::string out;
  for (char c : s) {
    const bool blank = c == ' ' || c == '\t' || c == '\n';
    if (blank && (out.empty() || out.back() == ' ' || out.back() == '(')) continue;
    if (c == ')' && !out.empty() && out.back() == ' ') out.pop_back();
    out += blank ? ' ' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

TEST(OracleAdminSchema, ScriptIsTheSchemaTableAndInitRunsEveryStatement) {
  const auto script = ScriptStatements(std::string(QX_SOURCE_DIR) + "/docs/oracle-schema.sql");
  const auto ddl = SchemaDdl(Backend::kOracle);
  ASSERT_EQ(script.size(), ddl.size());
  for (size_t i = 0; i < ddl.size(); ++i) EXPECT_EQ(Normal(script[i]), Normal(ddl[i])) << i;

  const auto& block = OracleText(SqlId::kAdminCreateSchema);
  ASSERT_EQ(block.size(), ddl.size() + 2);
  EXPECT_EQ(block.front(), "begin");
  EXPECT_EQ(block.back(), "end;");
  EXPECT_EQ(block[1], " execute immediate '" + ddl[0] + "';");
  EXPECT_NE(JoinLines(block).find("DEFAULT ''Y''"), std::string::npos);
}

TEST(OracleAdminSchema, BothBackendsDeclareTheSameWidths) {
  const auto ora = SchemaDdl(Backend::kOracle);
  const auto lite = SchemaDdl(Backend::kSqlite);
  for (const TableDef& t : Tables()) {
    for (const ColumnDef& c : t.columns) {
      if (c.type != ColumnDef::Type::kText) continue;
      const std::string w = std::to_string(c.width);
      bool in_ora = false, in_lite = false;
      for (const auto& s : ora) in_ora |= s.find(" " + c.name + " VARCHAR2(" + w + " CHAR)") != std::string::npos;
      for (const auto& s : lite) in_lite |= s.find(" " + c.name + " VARCHAR2(" + w + ")") != std::string::npos;
      EXPECT_TRUE(in_ora && in_lite) << t.name << "." << c.name;
    }
  }
  // The widths qxadmin checks are those of the Oracle declaration.
  EXPECT_EQ(FindColumn("qx_sql_filter", "sqlstatement").width, width::kSqlStatement);
  EXPECT_EQ(FindColumn("QX_SERVICE_LIST", "oracle_host").width, width::kOracleHost);
  EXPECT_EQ(width::kSqlStatement, 2000u);
  EXPECT_EQ(width::kOracleHost, 200u);
}

}  // namespace
}  // namespace qx::repository
