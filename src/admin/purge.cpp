// qxadmin purge (purge.h): batches of the oldest history rows, then their statements.
#include "admin/purge.h"

#include <set>
#include <string>
#include <vector>

namespace qx::admin {

using repository::Backend;
using repository::SqlId;

PurgeCounts Purge(repository::Session& session, double before, size_t batch,
                  const std::function<void(const PurgeCounts&)>& progress) {
  PurgeCounts counts;
  if (batch == 0) batch = 1;
  for (;;) {
    // The batch: the oldest rows, their statements and the last row's (exec_date, id).
    std::set<double> sql_ids;
    std::string last_date_text;
    double last_date = 0, last_id = 0;
    long rows = 0;
    {
      auto q = session.NewQuery(SqlId::kAdminPurgeBatch);
      q->SetDateTime("before", before);
      q->SetNumber("batch", static_cast<double>(batch));
      q->Open();
      for (; !q->Eof(); q->Next()) {
        sql_ids.insert(q->FieldAsNumber("sql_id"));
        last_id = q->FieldAsNumber("id");
        last_date_text = q->FieldAsString("exec_date");
        if (session.Kind() == Backend::kOracle) last_date = q->FieldAsNumber("exec_date");
        ++rows;
      }
    }
    if (rows == 0) break;
    {
      // Up to the last row in (exec_date, id) order, so each batch is exactly the rows read
      // (and any row a service wrote meanwhile with an even older date).
      auto st = session.NewStatement(SqlId::kAdminPurgeHistory);
      st->SetDateTime("before", before);
      if (session.Kind() == Backend::kOracle) {
        st->SetDateTime("last_date", last_date);
      } else {
        st->SetString("last_date", last_date_text);  // compared as stored
      }
      st->SetNumber("last_id", last_id);
      st->Execute();
    }
    counts.history += rows;
    const std::vector<double> candidates(sql_ids.begin(), sql_ids.end());
    auto st = session.NewStatement(SqlId::kAdminPurgeStatement);
    std::string error;
    st->ExecuteRows(
        candidates.size(), [&](size_t i) { st->SetNumber("id", candidates[i]); },
        [&](size_t, const std::exception& e) { error = e.what(); });
    if (!error.empty()) throw repository::RepositoryError(error);
    for (double id : candidates) {
      auto q = session.NewQuery(SqlId::kReportFindStatement);
      q->SetNumber("sql_id", id);
      q->SetString("fingerprint_hash", "");
      q->Open();
      if (q->Eof()) ++counts.statements;
    }
    ++counts.batches;
    if (progress) progress(counts);
    if (rows < static_cast<long>(batch)) break;
  }
  return counts;
}

}  // namespace qx::admin
