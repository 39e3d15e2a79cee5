// The history writer thread.
#include "sql/history_writer.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "platform/datetime.h"
#include "platform/platform.h"
#include "sql/spool.h"
#include "sql/sql_store.h"
#include "service/service.h"

namespace qx::sql {

namespace {

// The positions of a history insert's binds, looked up once per statement: a group's rows
// are bound by position, their texts without a copy (the rows outlive their run).
struct RowBinder {
  RowBinder(repository::Statement& st, bool outcome_columns)
      : st(st),
        outcome(outcome_columns),
        sql_id(st.Param("sql_id")),
        srvc_id(st.Param("srvc_id")),
        exec_date(st.Param("exec_date")),
        exec_time(st.Param("exec_time")),
        session_id(st.Param("session_id")),
        host(st.Param("host")),
        ip(st.Param("ip")),
        orauser(st.Param("orauser")),
        service_name(st.Param("service_name")),
        sid(st.Param("sid")),
        program(st.Param("program")),
        username(st.Param("username")),
        rows_processed(outcome ? st.Param("rows_processed") : -1),
        error_code(outcome ? st.Param("error_code") : -1) {}

  // Binds one row's columns (an id or a mark are the caller's).
  void Bind(const HistoryRow& r, double statement_id) {
    st.SetNumberAt(sql_id, statement_id);
    st.SetNumberAt(srvc_id, r.srvc_id);
    st.SetDateTimeAt(exec_date, r.exec_date);
    st.SetNumberAt(exec_time, r.exec_time);
    st.SetNumberAt(session_id, r.session_id);
    st.SetTextAt(host, r.host);
    st.SetTextAt(ip, r.ip);
    st.SetTextAt(orauser, r.orauser);
    st.SetTextAt(service_name, r.service_name);
    st.SetTextAt(sid, r.sid);
    st.SetTextAt(program, r.program);
    st.SetTextAt(username, r.username);
    if (!outcome) return;
    if (r.rows_processed) {
      st.SetNumberAt(rows_processed, *r.rows_processed);
    } else {
      st.SetNullAt(rows_processed);
    }
    if (r.error_code) {
      st.SetNumberAt(error_code, *r.error_code);
    } else {
      st.SetNullAt(error_code);
    }
  }

  repository::Statement& st;
  const bool outcome;
  const int sql_id, srvc_id, exec_date, exec_time, session_id, host, ip, orauser, service_name,
      sid, program, username, rows_processed, error_code;
};

}  // namespace

void WriteHistoryRows(service::TQuorvexService& svc, const std::vector<HistoryRow>& rows) {
  if (rows.empty()) return;
  const bool outcome = svc.historyOutcomeColumns;
  auto st = svc.session->NewStatement(outcome ? repository::SqlId::kInsertSqlHistoryOutcome
                                              : repository::SqlId::kInsertSqlHistory);
  RowBinder binder(*st, outcome);
  st->ExecuteRows(
      rows.size(), [&](size_t i) { binder.Bind(rows[i], rows[i].sql_id); },
      [&](size_t, const std::exception& e) {
        svc.ReportError(std::string("Insert SQL History exception: ") + e.what());
      });
}

void ResolveSessionNumbers(service::TQuorvexService& svc, std::vector<HistoryRow>& rows) {
  for (HistoryRow& r : rows) {
    if (r.session_id == 0 && r.session_key != 0 && svc.sessionNumbers) {
      r.session_id = svc.sessionNumbers->Resolve(r.session_key);
    }
  }
}

namespace {

// Errors that belong to the row itself rather than to the repository's state.
bool IsRowError(const std::string& message) {
  for (const char* word : {"constraint", "mismatch", "too big", "too large", "ORA-12899",
                           "ORA-01400", "ORA-00001", "ORA-01438", "ORA-01722"}) {
    if (message.find(word) != std::string::npos) return true;
  }
  return false;
}

std::string Now() { return platform::FormatTimestamp(platform::NowDateTime()); }

}  // namespace

HistoryWriter::HistoryWriter(service::TQuorvexService& svc, std::unique_ptr<Spool> spool,
                             std::string instance, std::string repository_file)
    : svc_(svc),
      spool_(std::move(spool)),
      instance_(std::move(instance)),
      repository_file_(std::move(repository_file)) {
  if (!repository_file_.empty()) {
    have_identity_ = platform::FileIdentity(repository_file_, &device_, &inode_);
  }
  thread_ = std::thread([this] { Run(); });
}

HistoryWriter::~HistoryWriter() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void HistoryWriter::Push(std::vector<HistoryRow>&& rows) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool was_empty = rows_.empty();
  for (HistoryRow& r : rows) rows_.push_back(std::move(r));
  backlog_ += rows.size();
  handed_over_ += rows.size();
  // The writer waits for the first rows, or for a full group while it gathers; in between
  // a wake-up would only put it back to sleep.
  if (was_empty || rows_.size() >= kMaxGroup) changed_.notify_all();
}

void HistoryWriter::Journal(std::vector<HistoryRow>& rows) {
  if (spool_) spool_->Append(rows);
}

void HistoryWriter::Enqueue(std::vector<HistoryRow> rows, bool journalled) {
  if (rows.empty()) return;
  if (spool_ && journalled) {
    Push(std::move(rows));
    return;
  }
  bool spill = false;
  {
    std::unique_lock<std::mutex> lock(mu_);
    // While the repository cannot be written, rows that have a spool go there instead of
    // waiting for room that would come only with the repository.
    const size_t room = spool_ ? kMaxUnjournalled : kMaxBacklog;
    changed_.wait(lock, [&] {
      return backlog_ < room || stopping_ || (spool_ && unwritable_);
    });
    spill = spool_ && unwritable_;
  }
  if (spill) spool_->Append(rows);
  Push(std::move(rows));
}

void HistoryWriter::Drain() {
  std::unique_lock<std::mutex> lock(mu_);
  ++draining_;
  changed_.notify_all();  // no gathering while someone waits
  changed_.wait(lock, [this] { return backlog_ == 0; });
  --draining_;
}

bool HistoryWriter::Pause(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait_for(lock, wait, [this] { return stopping_; });
  return !stopping_;
}

std::string HistoryWriter::MarkKey(uint64_t stream_key) const {
  return instance_ + "#" + std::to_string(stream_key);
}

double HistoryWriter::ReadMark(uint64_t stream_key) {
  auto query = svc_.session->NewQuery(repository::SqlId::kSpoolMark);
  query->SetString("instance", MarkKey(stream_key));
  query->Open();
  const double mark = query->RowCount() >= 1 ? query->FirstAsNumber() : 0;
  query->Close();
  return mark;
}

void HistoryWriter::DropMarked(std::vector<HistoryRow>& rows) {
  std::unordered_map<uint64_t, double> marks;
  for (const HistoryRow& r : rows) {
    if (r.stream_key != 0 && !marks.count(r.stream_key)) marks[r.stream_key] = ReadMark(r.stream_key);
  }
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [&](const HistoryRow& r) {
                              return r.stream_key != 0 &&
                                     static_cast<double>(r.stream_seq) <= marks[r.stream_key];
                            }),
             rows.end());
}

void HistoryWriter::Recover() {
  if (!spool_ || instance_.empty()) return;
  std::vector<HistoryRow> recovered = spool_->TakeRecovered();
  const std::vector<HistoryRow> all = recovered;
  std::chrono::milliseconds backoff(100);
  for (;;) {
    try {
      svc_.session->NewStatement(repository::SqlId::kEnsureSpoolMark)->Execute();
      DropMarked(recovered);
      break;
    } catch (const std::exception& e) {
      const std::string message = e.what();
      if (message.find("ORA-01031") != std::string::npos) {
        svc_.ReportError("The spool mark table cannot be created (" + message +
                         "): after a crash the rows of the last group may be written twice.");
        instance_.clear();
        break;
      }
      if (!outage_) {
        outage_ = true;
        outage_since_ = Now();
        svc_.ReportError("The repository cannot be read at start (the spool is kept): " + message);
      }
      if (!Pause(backoff)) return;
      backoff = std::min(backoff * 2, std::chrono::milliseconds(5000));
    }
  }
  {
    // What the marks cover is in the repository: its segments may go.
    std::unordered_set<uint64_t> kept;
    for (const HistoryRow& r : recovered) kept.insert(r.spool_seq);
    std::vector<HistoryRow> covered;
    for (const HistoryRow& r : all) {
      if (!kept.count(r.spool_seq)) covered.push_back(r);
    }
    spool_->Committed(covered);
  }
  if (recovered.empty()) return;
  svc_.WriteServiceLog("The spool holds " + std::to_string(recovered.size()) +
                       " rows of an earlier run that the repository does not have: they are "
                       "written first.");
  std::lock_guard<std::mutex> lock(mu_);
  rows_.insert(rows_.begin(), std::make_move_iterator(recovered.begin()),
               std::make_move_iterator(recovered.end()));
  backlog_ += recovered.size();
}

void HistoryWriter::CheckRepositoryFile() {
  if (repository_file_.empty()) return;
  uint64_t device = 0, inode = 0;
  const bool exists = platform::FileIdentity(repository_file_, &device, &inode);
  if (have_identity_ && exists && device == device_ && inode == inode_) return;
  if (have_identity_) {
    svc_.ReportError("The repository file " + repository_file_ +
                     (exists ? " was replaced" : " was deleted") +
                     ": the repository session is reconnected.");
    have_identity_ = false;
  }
  svc_.session->Disconnect();
  svc_.session->Connect();  // throws while the file is missing: the rows wait
  have_identity_ = platform::FileIdentity(repository_file_, &device_, &inode_);
}

bool HistoryWriter::WriteGroupAtomic(const std::vector<HistoryRow>& rows) {
  using repository::SqlId;
  const bool outcome = svc_.historyOutcomeColumns;
  std::vector<double> sql_ids;
  std::vector<TSQLData> learned;
  std::lock_guard<std::mutex> catalogue(svc_.catalogueMu);
  try {
    svc_.session->RunTransaction([&] {
      CatalogueRowsInTransaction(svc_, rows, &sql_ids, &learned);
      // The group's ids as one block of the sequence.
      auto reserve = svc_.session->NewQuery(SqlId::kReserveSqlHistoryIds);
      reserve->SetNumber("count", static_cast<double>(rows.size()));
      reserve->Open();
      const double first_id = reserve->FirstAsNumber() - static_cast<double>(rows.size()) + 1;
      reserve->Close();
      auto st = svc_.session->NewStatement(outcome ? SqlId::kInsertSqlHistoryOutcomeWithId
                                                   : SqlId::kInsertSqlHistoryWithId);
      RowBinder binder(*st, outcome);
      const int id = st->Param("id");
      st->ExecuteRows(
          rows.size(),
          [&](size_t i) {
            st->SetNumberAt(id, first_id + static_cast<double>(i));
            binder.Bind(rows[i], sql_ids[i]);
          },
          [](size_t, const std::exception& e) { throw repository::RepositoryError(e.what()); });
      if (instance_.empty()) return;
      // Each connection's newest row of the group marks it, in the same transaction.
      std::unordered_map<uint64_t, uint64_t> newest;
      std::vector<uint64_t> streams;
      for (const HistoryRow& r : rows) {
        if (r.stream_key == 0) continue;
        auto [it, added] = newest.emplace(r.stream_key, r.stream_seq);
        if (added) {
          streams.push_back(r.stream_key);
        } else {
          it->second = std::max(it->second, r.stream_seq);
        }
      }
      if (streams.empty()) return;
      auto mark = svc_.session->NewStatement(SqlId::kSetSpoolMark);
      mark->ExecuteRows(
          streams.size(),
          [&](size_t i) {
            mark->SetString("instance", MarkKey(streams[i]));
            mark->SetNumber("spool_seq", static_cast<double>(newest[streams[i]]));
          },
          [](size_t, const std::exception& e) { throw repository::RepositoryError(e.what()); });
    });
  } catch (const std::exception&) {
    return false;  // rolled back: nothing of the group is in the repository
  }
  if (svc_.sqlCache) {
    for (const TSQLData& entry : learned) svc_.sqlCache->Add(entry);
  }
  return true;
}

void HistoryWriter::WriteGroup(std::vector<HistoryRow>& group) {
  CheckRepositoryFile();
  if (group.empty()) return;
  // In place: a group that goes back to the queue keeps its numbers.
  ResolveSessionNumbers(svc_, group);
  // After an outage part of the group may be in the repository already (the marks tell),
  // which the row-by-row path sorts out. Otherwise one transaction for the whole group where
  // the repository can; when that fails (a row the repository refuses, an outage), row by
  // row as below.
  const bool marked = !instance_.empty();
  if (!(marked && outage_) && svc_.session->Atomic() && WriteGroupAtomic(group)) return;
  std::vector<HistoryRow> rows = group;
  if (marked && outage_) DropMarked(rows);
  if (rows.empty()) return;
  CatalogueRows(svc_, rows);
  const bool outcome = svc_.historyOutcomeColumns;
  using repository::SqlId;
  // A connection's rows come together: its mark key is made once per run of them.
  uint64_t mark_stream = 0;
  std::string mark_key;
  auto st = svc_.session->NewStatement(
      marked ? (outcome ? SqlId::kInsertSqlHistoryOutcomeSpooled : SqlId::kInsertSqlHistorySpooled)
             : (outcome ? SqlId::kInsertSqlHistoryOutcome : SqlId::kInsertSqlHistory));
  RowBinder binder(*st, outcome);
  st->ExecuteRows(
      rows.size(),
      [&](size_t i) {
        const HistoryRow& r = rows[i];
        binder.Bind(r, r.sql_id);
        if (marked) {
          if (mark_key.empty() || r.stream_key != mark_stream) {
            mark_stream = r.stream_key;
            mark_key = MarkKey(r.stream_key);
          }
          st->SetString("instance", mark_key);
          st->SetNumber("spool_seq", static_cast<double>(r.stream_seq));
        }
      },
      [&](size_t, const std::exception& e) {
        if (!IsRowError(e.what())) throw repository::RepositoryError(e.what());
        svc_.ReportError(std::string("Insert SQL History exception: ") + e.what());
      });
}

void HistoryWriter::SpoolLeftRows() {
  if (!spool_) return;
  std::vector<HistoryRow> memory_only;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (HistoryRow& r : rows_) {
      if (r.spool_seq == 0) memory_only.push_back(r);
    }
  }
  spool_->Append(memory_only);
}

void HistoryWriter::Run() {
  // Relayed connections come first; a capture file's replay has no one waiting on it.
  if (svc_.captureFiles.empty()) platform::LowerThreadPriority();
  Recover();
  std::chrono::milliseconds backoff(100);
  auto last_group = std::chrono::steady_clock::now() - kGatherWindow;
  for (;;) {
    std::vector<HistoryRow> group;
    {
      std::unique_lock<std::mutex> lock(mu_);
      changed_.wait(lock, [this] { return !rows_.empty() || stopping_; });
      changed_.wait_until(lock, last_group + kGatherWindow, [this] {
        return rows_.size() >= kMaxGroup || stopping_ || draining_ > 0;
      });
      if (rows_.empty()) return;  // stopping, and everything is written
      last_group = std::chrono::steady_clock::now();
      // The group leaves the queue while it is written (backlog_ still counts it) and goes
      // back to its front when the repository cannot take it.
      const size_t n = std::min(rows_.size(), kMaxGroup);
      group.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        group.push_back(std::move(rows_.front()));
        rows_.pop_front();
      }
    }
    const size_t taken = group.size();
    try {
      WriteGroup(group);
    } catch (const std::exception& e) {
      std::unique_lock<std::mutex> lock(mu_);
      rows_.insert(rows_.begin(), std::make_move_iterator(group.begin()),
                   std::make_move_iterator(group.end()));
      unwritable_ = true;
      changed_.notify_all();
      if (!outage_) {
        outage_ = true;
        recovering_ = false;
        outage_since_ = Now();
        outage_handed_over_ = handed_over_;
        outage_backlog_ = backlog_;
        lock.unlock();
        svc_.ReportError("The repository cannot be written from " + outage_since_ + " (" +
                         std::to_string(outage_backlog_) + " rows waiting; " +
                         (spool_ ? "they are kept in the spool" : "they are kept in memory") +
                         " and written when it returns): " + e.what());
        lock.lock();
      }
      if (stopping_) {
        const size_t left = backlog_;
        lock.unlock();
        SpoolLeftRows();
        svc_.ReportError(std::to_string(left) + " history rows could not be written before the "
                         "stop: " + (spool_ ? "they stay in the spool and are written at the "
                                               "next start."
                                            : "they are lost (no spool)."));
        return;
      }
      lock.unlock();
      Pause(backoff);
      backoff = std::min(backoff * 2, std::chrono::milliseconds(5000));
      continue;
    }
    backoff = std::chrono::milliseconds(100);
    size_t left = 0;
    uint64_t held = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      backlog_ -= taken;
      left = backlog_;
      unwritable_ = false;
      if (outage_) {
        outage_ = false;
        recovering_ = true;
        outage_until_ = Now();
        outage_handed_over_ = handed_over_ - outage_handed_over_ + outage_backlog_;
      }
      held = outage_handed_over_;
      changed_.notify_all();
    }
    // The end of an outage is told as soon as its last rows are in, before the spool's sync.
    if (recovering_ && left == 0) {
      recovering_ = false;
      svc_.ReportError("The repository could not be written from " + outage_since_ + " to " +
                       outage_until_ + ": the " + std::to_string(held) +
                       " rows held meanwhile have all been written by " + Now() + ".");
    }
    if (spool_) {
      spool_->Committed(group);
      spool_->SyncIfDue();
    }
  }
}

}  // namespace qx::sql
