// The history writer thread.
#include "sql/history_writer.h"

#include "platform/platform.h"
#include "service/service.h"

namespace qx::sql {

void WriteHistoryRows(service::TQuorvexService& svc, const std::vector<HistoryRow>& rows) {
  if (rows.empty()) return;
  const bool outcome = svc.historyOutcomeColumns;
  auto st = svc.session->NewStatement(outcome ? repository::SqlId::kInsertSqlHistoryOutcome
                                              : repository::SqlId::kInsertSqlHistory);
  st->ExecuteRows(
      rows.size(),
      [&](size_t i) {
        const HistoryRow& r = rows[i];
        st->SetNumber("sql_id", r.sql_id);
        st->SetNumber("srvc_id", r.srvc_id);
        st->SetDateTime("exec_date", r.exec_date);
        st->SetNumber("exec_time", r.exec_time);
        st->SetNumber("session_id", r.session_id);
        st->SetString("host", r.host);
        st->SetString("ip", r.ip);
        st->SetString("orauser", r.orauser);
        st->SetString("service_name", r.service_name);
        st->SetString("sid", r.sid);
        st->SetString("program", r.program);
        st->SetString("username", r.username);
        if (outcome) {
          if (r.rows_processed) {
            st->SetNumber("rows_processed", *r.rows_processed);
          } else {
            st->SetNull("rows_processed");
          }
          if (r.error_code) {
            st->SetNumber("error_code", *r.error_code);
          } else {
            st->SetNull("error_code");
          }
        }
      },
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

HistoryWriter::HistoryWriter(service::TQuorvexService& svc) : svc_(svc) {
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

void HistoryWriter::Enqueue(std::vector<HistoryRow> rows) {
  if (rows.empty()) return;
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait(lock, [this] { return backlog_ < kMaxBacklog || stopping_; });
  backlog_ += rows.size();
  batches_.push_back(std::move(rows));
  changed_.notify_all();
}

void HistoryWriter::Drain() {
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait(lock, [this] { return backlog_ == 0; });
}

void HistoryWriter::Run() {
  platform::LowerThreadPriority();
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    changed_.wait(lock, [this] { return !batches_.empty() || stopping_; });
    if (batches_.empty()) return;  // stopping, and everything is written
    // Batches waiting together are written together (one transaction where the backend
    // groups rows), up to a bound that keeps the repository free for the connections' own
    // look-ups in between.
    std::vector<HistoryRow> rows = std::move(batches_.front());
    batches_.pop_front();
    while (!batches_.empty() && rows.size() + batches_.front().size() <= kMaxGroup) {
      for (HistoryRow& r : batches_.front()) rows.push_back(std::move(r));
      batches_.pop_front();
    }
    lock.unlock();
    try {
      ResolveSessionNumbers(svc_, rows);
      WriteHistoryRows(svc_, rows);
    } catch (const std::exception& e) {
      // Preparing the statement failed: every row of the batch is lost, say so.
      svc_.ReportError(std::string("Insert SQL History exception: ") + e.what());
    }
    lock.lock();
    backlog_ -= rows.size();
    changed_.notify_all();
  }
}

}  // namespace qx::sql
