// Statement catalogue and execution history on the repository session.
#include "sql/sql_store.h"

#include "sql/catalogue_insert.h"

#include <unordered_map>
#include <utility>

#include "capture/connection.h"
#include "platform/datetime.h"
#include "sql/byte_text.h"
#include "sql/history_writer.h"
#include "sql/sql_filters.h"
#include "sql/statement_extract.h"

namespace qx::sql {

using capture::TThreadData;
using service::TQuorvexService;

namespace {

// Characters [from, from + count) of s, or "" beyond its end.
// The catalogue keeps a text in four columns of 2000 bytes each: piece p of s.
std::string_view Piece(std::string_view s, size_t p) {
  const size_t from = p * 2000;
  return from < s.size() ? s.substr(from, 2000) : std::string_view();
}

// The record's entry for statement s: the one remembered (a latest one run again moved among
// the repeated ones), or the oldest of the latest replaced by s (hash and id still to find).
TThreadData::KnownStatement& KnownStatementOf(TThreadData& record, const std::string& s) {
  constexpr size_t n = TThreadData::kKnownStatements;
  if (!record.knownStatements) {
    record.knownStatements = std::make_unique<std::array<TThreadData::KnownStatement, 2 * n>>();
  }
  auto& known = *record.knownStatements;
  for (size_t i = 0; i < known.size(); ++i) {
    TThreadData::KnownStatement& k = known[i];
    if (k.text.size() != s.size() || k.hash.empty() || k.text != s) continue;
    if (i >= n) return k;
    TThreadData::KnownStatement& repeated = known[n + record.knownRepeatedNext];
    record.knownRepeatedNext = (record.knownRepeatedNext + 1) % n;
    std::swap(k, repeated);
    return repeated;
  }
  TThreadData::KnownStatement& k = known[record.knownNext];
  record.knownNext = (record.knownNext + 1) % n;
  k.text = s;
  k.hash.clear();
  k.sqlId = 0;
  return k;
}

}  // namespace

bool CountQueryHolds(TQuorvexService& svc, const std::string& query_text) {
  try {
    // The private condition database when there is one: deciding a statement or a
    // connection never waits for the repository.
    repository::Session& session = svc.conditionSession ? *svc.conditionSession : *svc.session;
    auto query = session.NewFreeQuery(query_text);
    if (query->HasParam("CONN_TIME")) query->SetDateTime("CONN_TIME", platform::NowDateTime());
    query->Open();
    const bool result = query->FirstAsInteger() > 0;
    query->Close();
    return result;
  } catch (const std::exception&) {
    return false;
  }
}

bool CheckDateExpr(TQuorvexService& svc, const std::string& condition) {
  return CountQueryHolds(svc, DateExprQueryText(condition));
}

bool IsExcludedByFilters(TQuorvexService& svc, TThreadData& record, std::string_view text,
                         double elapsed_ms) {
  service::TServiceData* service = capture::RecordService(svc, record);
  if (!service) return true;
  // No SQL filters: nothing is excluded, and no lock is taken for it.
  if (!service->anySqlFilters.load()) return false;
  std::shared_lock<std::shared_mutex> filters(service->filtersMu);
  const SQLFilterDecision decision =
      DecideSQLFilters(service->sqlFilters, text, elapsed_ms,
                       [&svc](const std::string& query_text) {
                         return CountQueryHolds(svc, query_text);
                       });
  if (!decision.traceLine.empty()) capture::AddTrace(record, decision.traceLine);
  return decision.excluded;
}

std::optional<TSQLData> FindSQLData(TQuorvexService& svc, TThreadData& record,
                                    std::string* hash) {
  *hash = GetSQLHash(record.sqlText);
  if (svc.sqlCache) {
    if (auto hit = svc.sqlCache->Find(*hash)) return hit;
  }
  auto query = svc.session->NewQuery(repository::SqlId::kFindSqlByHash);
  query->SetString("sqlhash", *hash);
  query->Open();
  std::optional<TSQLData> found;
  if (query->RowCount() >= 1) {
    found = TSQLData{query->FieldAsNumber("id"), *hash};
    if (svc.sqlCache) svc.sqlCache->Add(*found);
  }
  query->Close();
  return found;
}

namespace {

std::optional<double> LookUpSQL(TQuorvexService& svc, const std::string& hash) {
  auto query = svc.session->NewQuery(repository::SqlId::kFindSqlByHash);
  query->SetString("sqlhash", hash);
  query->Open();
  std::optional<double> id;
  if (query->RowCount() >= 1) id = query->FieldAsNumber("id");
  query->Close();
  return id;
}

// Adds the statement to the catalogue; its new id.
double InsertSQL(TQuorvexService& svc, const std::string& hash, const std::string& s) {
  auto st = NewCatalogueInsert(svc, s);
  st->DeclareOutputNumber("sqlId");
  st->SetString("sqlhash", hash);
  st->SetString("sqltext", std::string(Piece(s, 0)));
  st->SetString("sqltext1", std::string(Piece(s, 1)));
  st->SetString("sqltext2", std::string(Piece(s, 2)));
  st->SetString("sqltext3", std::string(Piece(s, 3)));
  st->Execute();
  return st->OutputNumber("sqlId");
}

}  // namespace

std::optional<TSQLData> FindOrInsertSQL(TQuorvexService& svc, const std::string& hash,
                                        const std::string& s, int32_t connection_no) {
  if (svc.sqlCache) {
    if (auto hit = svc.sqlCache->Find(hash)) return hit;
  }
  // A miss is settled under the catalogue lock: two threads storing the same new statement
  // at once must not both insert it. The second one finds the first one's entry.
  std::lock_guard<std::mutex> catalogue(svc.catalogueMu);
  if (svc.sqlCache) {
    if (auto hit = svc.sqlCache->Find(hash)) return hit;
  }
  std::optional<TSQLData> entry;
  if (auto id = LookUpSQL(svc, hash)) entry = TSQLData{*id, hash};
  if (!entry) {
    try {
      entry = TSQLData{InsertSQL(svc, hash, s), hash};
    } catch (const std::exception& e) {
      if (connection_no < 0) throw;
      svc.ReportError("Connection " + std::to_string(connection_no) +
                      " Insert new SQL statement exception: " + e.what());
      return std::nullopt;
    }
  }
  if (svc.sqlCache) svc.sqlCache->Add(*entry);
  return entry;
}

void CatalogueRows(TQuorvexService& svc, std::vector<HistoryRow>& rows) {
  for (HistoryRow& r : rows) {
    if (r.sql_id != 0 || r.sql_hash.empty()) continue;
    r.sql_id = FindOrInsertSQL(svc, r.sql_hash, r.sql_text, -1)->id;
    r.sql_hash.clear();
    r.sql_text.clear();
  }
}

namespace {

// Inserts the group's statements that are new to the catalogue with the ids first_id,
// first_id + 1, ... in their order, in the caller's transaction: one statement run for many
// rows where the backend can. Throws on any failure (the caller rolls the group back).
void InsertNewStatements(TQuorvexService& svc, const std::vector<const HistoryRow*>& fresh,
                         double first_id) {
  using repository::SqlId;
  const bool fingerprinted = svc.fingerprintColumns;
  auto st = svc.session->NewStatement(fingerprinted ? SqlId::kInsertSqlFingerprintWithId
                                                    : SqlId::kInsertSqlWithId);
  const int id = st->Param("id"), sqlhash = st->Param("sqlhash");
  const int pieces[] = {st->Param("sqltext"), st->Param("sqltext1"), st->Param("sqltext2"),
                        st->Param("sqltext3")};
  const int fp_hash = fingerprinted ? st->Param("fingerprint_hash") : -1;
  const int fp_text = fingerprinted ? st->Param("fingerprint") : -1;
  // The fingerprints live until the rows have run: texts are bound without a copy.
  std::vector<CatalogueFingerprint> fingerprints;
  if (fingerprinted) {
    fingerprints.reserve(fresh.size());
    for (const HistoryRow* r : fresh) fingerprints.push_back(FingerprintColumns(r->sql_text));
  }
  st->ExecuteRows(
      fresh.size(),
      [&](size_t k) {
        st->SetNumberAt(id, first_id + static_cast<double>(k));
        st->SetTextAt(sqlhash, fresh[k]->sql_hash);
        for (size_t p = 0; p < 4; ++p) st->SetTextAt(pieces[p], Piece(fresh[k]->sql_text, p));
        if (fingerprinted) {
          st->SetTextAt(fp_hash, fingerprints[k].hash);
          st->SetTextAt(fp_text, fingerprints[k].text);
        }
      },
      [](size_t, const std::exception& e) { throw repository::RepositoryError(e.what()); });
}

}  // namespace

void CatalogueRowsInTransaction(TQuorvexService& svc, const std::vector<HistoryRow>& rows,
                                std::vector<double>* ids, std::vector<TSQLData>* learned) {
  ids->resize(rows.size());
  // The statements this group has settled: the cache learns them only after the commit. A
  // statement the catalogue lacks stands as -1 - k until the k-th of them has its id.
  std::unordered_map<std::string_view, double> settled;
  std::vector<const HistoryRow*> fresh;
  for (size_t i = 0; i < rows.size(); ++i) {
    const HistoryRow& r = rows[i];
    (*ids)[i] = r.sql_id;
    if (r.sql_id != 0 || r.sql_hash.empty()) continue;
    if (auto it = settled.find(r.sql_hash); it != settled.end()) {
      (*ids)[i] = it->second;
      continue;
    }
    std::optional<TSQLData> hit = svc.sqlCache ? svc.sqlCache->Find(r.sql_hash) : std::nullopt;
    double id = 0;
    if (hit) {
      id = hit->id;
    } else if (std::optional<double> found = LookUpSQL(svc, r.sql_hash)) {
      id = *found;
      learned->push_back(TSQLData{id, r.sql_hash});
    } else {
      id = -1.0 - static_cast<double>(fresh.size());
      fresh.push_back(&r);
    }
    settled.emplace(r.sql_hash, id);
    (*ids)[i] = id;
  }
  if (fresh.empty()) return;
  // One block of ids for the new statements, then their rows.
  auto reserve = svc.session->NewQuery(repository::SqlId::kReserveSqlIds);
  reserve->SetNumber("count", static_cast<double>(fresh.size()));
  reserve->Open();
  const double first_id = reserve->FirstAsNumber() - static_cast<double>(fresh.size()) + 1;
  reserve->Close();
  InsertNewStatements(svc, fresh, first_id);
  for (size_t k = 0; k < fresh.size(); ++k) {
    learned->push_back(TSQLData{first_id + static_cast<double>(k), fresh[k]->sql_hash});
  }
  for (double& id : *ids) {
    if (id < 0) id = first_id + (-id - 1.0);
  }
}

void SaveSQL(TQuorvexService& svc, TThreadData& record, int32_t elapsed_ms) {
  const std::string& s = record.sqlText;
  if (s.empty()) return;
  if (record.keywordRules ? IsIgnoredStatement(s) : IsNeverStoredStatement(s)) return;
  if (IsExcludedByFilters(svc, record, s, elapsed_ms)) return;
  if (!record.established) return;

  if (!record.historyQueue && svc.historyWriter) return;  // nothing would carry it
  TSQLHistData h;
  h.exec_date = record.sqlStart;
  h.exec_time = elapsed_ms < 0 ? 0.0 : double(elapsed_ms);
  h.rows_processed = record.rowsProcessed;
  h.error_code = record.errorCode;
  // A long text is not kept per connection (its copy would stay while the connection is
  // idle): it is hashed and looked up each time.
  TThreadData::KnownStatement unkept;
  TThreadData::KnownStatement& known = s.size() <= TThreadData::kKnownStatementBytes
                                           ? KnownStatementOf(record, s)
                                           : unkept;
  if (known.hash.empty()) known.hash = GetSQLHash(s);
  if (known.sqlId == 0 && svc.sqlCache) {
    if (auto hit = svc.sqlCache->Find(known.hash)) known.sqlId = hit->id;
  }
  if (known.sqlId != 0) {
    h.sql_id = known.sqlId;
  } else if (svc.historyWriter) {
    // Not in the cache: the statement travels with its row, and the writer finds it in the
    // catalogue or adds it there, off this thread.
    h.sql_hash = known.hash;
    h.sql_text = s;
  } else {
    // Written in place (tests that drive the pipeline directly): catalogue it now. A failed
    // look-up reaches the caller; a failed insert has been reported.
    std::optional<TSQLData> entry = FindOrInsertSQL(svc, known.hash, s, record.connectionNo);
    if (!entry) return;
    h.sql_id = known.sqlId = entry->id;
  }
  if (!record.historyQueue) return;
  // Spooled now, as soon as it is complete; written to the repository with its batch.
  JournalExecution(svc, record, h);
  record.historyQueue->push_back(std::move(h));
}

namespace {

// Fills r with the history row of a queued execution and the connection's identity as it is
// now. Strings are assigned into r's own, so a row used again allocates nothing. Only the
// record's owner (or whoever holds its connection, at teardown) writes the identity, so the
// owner reads it without its lock; a foreign thread calls this with identityMutex held.
void FillRow(HistoryRow& r, const TThreadData& record, const TSQLHistData& h, bool last) {
  r.sql_id = h.sql_id;
  r.sql_hash = h.sql_hash;
  r.sql_text = h.sql_text;
  r.srvc_id = record.service ? record.service->id : 0;
  r.exec_date = h.exec_date;
  r.exec_time = last ? 0 : h.exec_time;
  r.session_id = record.sessionId;
  r.session_key = record.sessionKey;
  r.stream_key = record.streamKey;
  r.stream_seq = h.stream_seq;
  r.spool_seq = h.spool_seq;
  r.host.assign(record.host, 0, 200);
  r.ip.assign(record.ip, 0, 30);
  r.orauser.assign(record.orauser, 0, 30);
  r.service_name.assign(record.serviceName, 0, 100);
  r.sid.assign(record.sid, 0, 20);
  r.program.assign(record.program, 0, 2000);
  r.username.assign(record.username, 0, 100);
  r.rows_processed = h.rows_processed;
  r.error_code = h.error_code;
}

// A passive connection rebuilt from a capture file (REPLAY) needs no journal: the file itself
// holds its executions. Its rows wait in memory (the capture then waits for the writer) and
// are spooled only when the stop finds them unwritten.
bool JournalsRecord(TQuorvexService& svc, const TThreadData& record) {
  if (!svc.historyWriter || !svc.historyWriter->Journalling()) return false;
  return svc.captureFiles.empty() || !record.service || record.service->IsActive();
}

}  // namespace

void JournalExecution(TQuorvexService& svc, TThreadData& record, TSQLHistData& h) {
  h.stream_seq = ++record.streamSeq;
  if (!JournalsRecord(svc, record)) return;
  // Called on the record's owner thread, which alone touches its scratch row. (Not a
  // thread_local: in the MinGW build, destroying one that owns memory at thread exit
  // crashed the service.)
  std::vector<HistoryRow>& rows = record.journalRow;
  if (rows.size() != 1) rows.resize(1);
  FillRow(rows[0], record, h, false);
  svc.historyWriter->Journal(rows);
  h.spool_seq = rows[0].spool_seq;
}

void InsertSQLHistory(TQuorvexService& svc, TThreadData& record, bool final) {
  if (!record.historyQueue) return;
  auto& queue = *record.historyQueue;
  std::vector<HistoryRow> rows;
  rows.reserve(queue.size());
  {
    // The connection's identity is read now, so rows queued before the Oracle user was known
    // carry it too.
    std::lock_guard<std::mutex> identity(record.identityMutex);
    for (size_t i = 0; i < queue.size(); ++i) {
      FillRow(rows.emplace_back(), record, queue[i], final && i + 1 == queue.size());
    }
  }
  queue.clear();
  if (svc.historyWriter) {
    svc.historyWriter->Enqueue(std::move(rows), JournalsRecord(svc, record));
  } else {
    WriteHistoryRows(svc, rows);
  }
}

void CloseSQLHistory(TQuorvexService& svc, TThreadData& record) {
  if (!record.historyQueue) return;
  try {
    InsertSQLHistory(svc, record, true);
  } catch (const std::exception& e) {
    svc.ReportError(std::string("Insert SQL History exception: ") + e.what());
  }
  record.historyQueue.reset();
}

}  // namespace qx::sql
