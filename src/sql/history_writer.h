// Writes execution-history rows on a thread of its own, so that a connection whose queue has
// reached its batch size hands the batch over and forwards its chunk at once instead of
// waiting for the repository. Rows are written in the order they were handed over, with the
// outcome of one committed block each (a backend may group them into one transaction), and
// a failing row is reported as "Insert SQL History exception: " + message in both logs,
// exactly as when rows are written in place.
//
// Threading: Enqueue() may be called from any thread. When more than kMaxBacklog rows wait,
// Enqueue() blocks until the writer catches up: a slow repository slows the connections down
// rather than making the service grow without bound, and no row is dropped. The destructor
// writes everything still queued before it returns.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qx::service {
class TQuorvexService;
}

namespace qx::sql {

// One history row with the connection's identity as it was when the row was handed over.
struct HistoryRow {
  double sql_id = 0;
  double srvc_id = 0;
  double exec_date = 0;
  double exec_time = 0;
  double session_id = 0;
  // With session_id 0: the connection's placeholder, resolved by the writer to one number.
  uint64_t session_key = 0;
  std::string host, ip, orauser, service_name, sid, program, username;
  std::optional<double> rows_processed;  // empty: unknown, stored as NULL
  std::optional<int> error_code;         // empty: unknown, stored as NULL
};

// Gives rows that carry a placeholder key their connection's session number (throws when the
// repository gives none).
void ResolveSessionNumbers(service::TQuorvexService& svc, std::vector<HistoryRow>& rows);

// Writes the rows now, on the calling thread. The outcome columns are written when the
// repository has them (svc.historyOutcomeColumns, found at start).
void WriteHistoryRows(service::TQuorvexService& svc, const std::vector<HistoryRow>& rows);

class HistoryWriter {
 public:
  static constexpr size_t kMaxBacklog = 200000;
  static constexpr size_t kMaxGroup = 256;  // rows written in one go, at most (unless one
                                            // batch alone is larger)

  explicit HistoryWriter(service::TQuorvexService& svc);
  ~HistoryWriter();
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  void Enqueue(std::vector<HistoryRow> rows);
  // Blocks until every row handed over so far has been written.
  void Drain();

 private:
  void Run();

  service::TQuorvexService& svc_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<std::vector<HistoryRow>> batches_;  // guarded by mu_
  size_t backlog_ = 0;                           // rows in batches_ and in writing; mu_
  bool stopping_ = false;                        // guarded by mu_
  std::thread thread_;
};

}  // namespace qx::sql
