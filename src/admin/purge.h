// qxadmin purge: deletes the execution history before a date, then the statements that no
// history row names any more.
//
// Bounded and safe while services write: rows go in batches of at most `batch`, oldest first,
// each batch one transaction (a writing service waits at most one batch). Only statements
// named by the purged rows are candidates, and each goes only when, at its delete, no history
// row names it: a statement just stored by a service, whose executions are still queued, has
// no purged row and is never a candidate.
//
// Threading: one thread, the caller's session.
#pragma once

#include <cstddef>
#include <functional>

#include "repository/repository.h"

namespace qx::admin {

struct PurgeCounts {
  long history = 0;     // history rows deleted
  long statements = 0;  // statements deleted
  long batches = 0;
};

// before: a date-time (days since 1899-12-30). progress, when set, is called after each batch.
PurgeCounts Purge(repository::Session& session, double before, size_t batch,
                  const std::function<void(const PurgeCounts&)>& progress = {});

}  // namespace qx::admin
