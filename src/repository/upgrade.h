// What a repository has of the schema table (schema.h), and the upgrade that adds what an
// older repository lacks: the steps of Upgrades() that are missing, each checked first, so
// that an upgrade run twice (or by two administrators at once) changes nothing the second time.
//
// Threading: as the session (repository.h). Errors: RepositoryError.
#pragma once

#include <ostream>
#include <set>
#include <string>

#include "repository/repository.h"

namespace qx::repository {

// Upper-cased names of the columns of `table`; empty when there is no such table.
std::set<std::string> ExistingColumns(Session& session, const std::string& table);
// Upper-cased names of the repository's indexes.
std::set<std::string> ExistingIndexes(Session& session);

// True when `table` has every column named (any letter case).
bool HasColumns(Session& session, const std::string& table,
                const std::vector<std::string>& columns);

// Applies every missing step, printing one line per step ("Added ..." or "... is present");
// returns how many were applied.
int Upgrade(Session& session, std::ostream& out);

}  // namespace qx::repository
