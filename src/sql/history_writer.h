// Writes execution-history rows on a thread of its own, so that a connection whose queue has
// reached its batch size hands the batch over and forwards its chunk at once instead of
// waiting for the repository. Rows are journalled in the spool (spool.h) as they are handed
// over and written in that order, groups of up to kMaxGroup in one transaction where the
// backend groups rows. Before a group is written the writer gives its rows their session
// numbers and statements (the catalogue look-up and insert happen here, not on the relay).
//
// When the repository cannot take a group (locked, unwritable, gone), nothing is dropped:
// the writer keeps the rows, retries with back-off (0.1 s doubling to 5 s) and logs the
// outage once when it begins and once when the rows held meanwhile have all been written. A
// row the repository refuses for its own content (a constraint, a value too large) is
// reported as "Insert SQL History exception: " + message and passed over. Before each group
// the SQLite file's identity is compared with the one connected to: a file deleted or
// replaced is logged and the session reconnected.
//
// Threading: Enqueue() may be called from any thread and never waits for the repository.
// Rows in the spool never wait for the writer either; rows held in memory only wait while more
// than kMaxBacklog rows are queued (no spool) or kMaxUnjournalled (a capture file's rows,
// which are not journalled). At a stop that finds rows unwritten, those the spool does not hold yet go there. The destructor writes what it can; during an outage the rows
// stay in the spool for the next start (logged with their count).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
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
  // With sql_id 0: the statement, which the writer finds in the catalogue or adds to it.
  std::string sql_hash, sql_text;
  uint64_t spool_seq = 0;  // the row's number in the spool (spool.h); 0 when not spooled
  // The connection's stream (unique across runs) and the row's number within it: the
  // repository's spool mark per stream makes a replay write each row once.
  uint64_t stream_key = 0, stream_seq = 0;
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

class Spool;

class HistoryWriter {
 public:
  static constexpr size_t kMaxBacklog = 200000;  // without a spool: Enqueue waits beyond it
  // Rows written in one go, at most: one transaction, so the commit's WAL write and the
  // index pages it touches are shared by that many rows.
  static constexpr size_t kMaxGroup = 4096;
  // Rows a spool could hold but does not (a capture file's): they wait beyond this many,
  // enough to keep the writer's groups full and no more, since the file is read at will.
  static constexpr size_t kMaxUnjournalled = 8 * kMaxGroup;
  // Under a steady flow a group is begun at most this long after the one before it, unless
  // a full group is waiting or someone drains or stops the writer: a connection's batches
  // share one commit instead of paying one each. Rows that come after a quiet spell are
  // written at once.
  static constexpr std::chrono::milliseconds kGatherWindow{100};

  // `spool`: where rows are journalled before they are handed over (null: memory only).
  // `instance`: this instance's key of the spool mark in the repository ("" : no mark, as
  // without a spool). `repository_file`: the SQLite file whose identity is checked before
  // each group ("" : no check).
  explicit HistoryWriter(service::TQuorvexService& svc, std::unique_ptr<Spool> spool = nullptr,
                         std::string instance = "", std::string repository_file = "");
  ~HistoryWriter();
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  // Appends completed executions to the spool (when there is one) and gives them their spool
  // numbers; returns once they are in the file. Any thread; never waits for the repository.
  void Journal(std::vector<HistoryRow>& rows);
  bool Journalling() const { return spool_ != nullptr; }
  // Hands rows over for the repository, in each connection's order. Rows that are not in the
  // spool (`journalled` false, or no spool) wait for room (see above).
  void Enqueue(std::vector<HistoryRow> rows, bool journalled = true);
  // Blocks until every row handed over so far has been written.
  void Drain();

 private:
  void Run();
  void Push(std::vector<HistoryRow>&& rows);
  // Rows of earlier runs that the repository does not hold yet go first.
  void Recover();
  double ReadMark(uint64_t stream_key);
  std::string MarkKey(uint64_t stream_key) const;
  // Drops the rows the repository's marks already cover (those are in the repository).
  void DropMarked(std::vector<HistoryRow>& rows);
  // Writes the group (rows the mark covers are skipped); throws when the repository cannot
  // take it. A row the repository refuses for its own content is reported and passed over.
  // Session numbers are resolved in the group itself.
  void WriteGroup(std::vector<HistoryRow>& group);
  // The group, its new statements, its block of ids and its marks in one transaction; false
  // when that failed and was rolled back (nothing of it written).
  bool WriteGroupAtomic(const std::vector<HistoryRow>& rows);
  void CheckRepositoryFile();
  // Waits for the back-off (or the stop); false once stopping.
  bool Pause(std::chrono::milliseconds wait);
  // At a stop with rows unwritten: the ones only in memory go to the spool.
  void SpoolLeftRows();

  service::TQuorvexService& svc_;
  std::unique_ptr<Spool> spool_;
  std::string instance_;
  const std::string repository_file_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<HistoryRow> rows_;  // handed over, not yet written, in order; mu_
  size_t backlog_ = 0;           // rows_ and the group being written; mu_
  uint64_t handed_over_ = 0;     // rows ever handed over; mu_
  uint64_t next_seq_ = 0;        // without a spool: the rows' order numbers; mu_
  bool stopping_ = false;        // mu_
  int draining_ = 0;             // threads waiting in Drain(); mu_
  bool unwritable_ = false;      // the last group could not be written; mu_
  // Writer thread only:
  bool outage_ = false;
  bool recovering_ = false;      // the outage has ended; its rows are being written
  std::string outage_since_, outage_until_;
  uint64_t outage_handed_over_ = 0, outage_backlog_ = 0;
  bool have_identity_ = false;
  uint64_t device_ = 0, inode_ = 0;
  std::thread thread_;
};

}  // namespace qx::sql
