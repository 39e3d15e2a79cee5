// The repository upgrade: checks each step of Upgrades() against the dictionary, then applies it.
#include "repository/upgrade.h"

#include <map>

namespace qx::repository {
namespace {

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

bool Present(Session& session, const UpgradeStep& step) {
  if (step.kind == UpgradeStep::Kind::kColumn) {
    return ExistingColumns(session, step.table).count(Upper(step.name)) > 0;
  }
  return ExistingIndexes(session).count(Upper(step.name)) > 0;
}

}  // namespace

std::set<std::string> ExistingColumns(Session& session, const std::string& table) {
  auto q = session.NewQuery(SqlId::kListColumns);
  q->SetString("table_name", Upper(table));
  q->Open();
  std::set<std::string> out;
  for (; !q->Eof(); q->Next()) out.insert(Upper(q->FieldAsString("column_name")));
  return out;
}

std::set<std::string> ExistingIndexes(Session& session) {
  auto q = session.NewQuery(SqlId::kAdminListIndexes);
  q->Open();
  std::set<std::string> out;
  for (; !q->Eof(); q->Next()) out.insert(Upper(q->FieldAsString("index_name")));
  return out;
}

bool HasColumns(Session& session, const std::string& table,
                const std::vector<std::string>& columns) {
  const std::set<std::string> existing = ExistingColumns(session, table);
  for (const std::string& c : columns) {
    if (!existing.count(Upper(c))) return false;
  }
  return true;
}

int Upgrade(Session& session, std::ostream& out) {
  // The dictionary is read once; a step whose statement fails is checked again, since
  // another upgrade may have applied it since (success too).
  const std::set<std::string> indexes = ExistingIndexes(session);
  std::map<std::string, std::set<std::string>> columns;
  int applied = 0;
  for (const UpgradeStep& step : Upgrades()) {
    const bool is_column = step.kind == UpgradeStep::Kind::kColumn;
    const std::string what = is_column ? "column " + step.table + "." + step.name
                                       : "index " + step.name + " on " + step.table;
    if (is_column && !columns.count(step.table)) {
      columns[step.table] = ExistingColumns(session, step.table);
    }
    const bool drop = step.kind == UpgradeStep::Kind::kDropIndex;
    const bool present = is_column ? columns[step.table].count(Upper(step.name)) > 0
                                   : indexes.count(Upper(step.name)) > 0;
    if (present != drop) {
      out << (drop ? "Absent: " : "Present: ") << what << "\n";
      continue;
    }
    try {
      session.NewFreeStatement(UpgradeDdl(session.Kind(), step))->Execute();
    } catch (const RepositoryError&) {
      if (Present(session, step) == drop) throw;
      out << (drop ? "Absent: " : "Present: ") << what << "\n";
      continue;
    }
    out << (drop ? "Dropped " : "Added ") << what << " (" << step.purpose << ")\n";
    ++applied;
  }
  return applied;
}

}  // namespace qx::repository
