// The history spool: a local append-only journal of completed executions, so that nothing
// captured is lost while the repository cannot be written or when the process is killed.
//
// Layout: a directory of segment files "qxspool-<first sequence number, 20 digits>.seg". An
// entry is [u32 length][u32 CRC-32 of the payload][payload], little-endian; the payload is a
// kind byte (1 = history row), the row's spool sequence number (u64) and tagged fields (tag,
// type, value), so that fields added later do not break older spools. A row whose statement
// was not in the catalogue cache carries its hash and text. A torn entry at the end of a
// segment (a crash while writing) is ignored and logged.
//
// Spool numbers rise by one per row, across segments and restarts, and order the replay.
// Rows reach the repository per connection, in each connection's own order (its
// sqlHistCacheCount batches), so the repository keeps, in the same transaction as each row,
// the newest row number of that connection's stream (qx_spool_mark): after a crash the writer
// skips what the marks cover, and no row is written twice. A segment is deleted once every
// row in it is in the repository (Committed).
//
// Each execution is appended as soon as it is complete, by the connection's own thread. Appends
// are grouped: a thread that appends while another is writing leaves its bytes to that
// writer, which writes all waiting bytes with one write call; Append returns once its rows
// are in the file (the OS's page cache: they survive the process being killed). The
// spool does not sync on each group; SyncIfDue() (called by the history writer) fdatasyncs at
// most once a second, beside the appends, so a power cut may lose up to the last second.
//
// Bound: the segments on disk never exceed the limit. Rows that find it full are not spooled
// (they still go to the repository from memory): they are counted, and the start and the end
// of such a period are logged with the time and the count.
//
// Threading: every member may be called from any thread; one mutex guards the state, and no
// lock is held across a write to the file except by the one thread writing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sql/history_writer.h"

namespace qx::sql {

// Encodes one row as a spool entry (header included), or appends it to *out; decodes one
// payload.
std::string EncodeSpoolEntry(const HistoryRow& row);
void AppendSpoolEntry(const HistoryRow& row, std::string* out);
bool DecodeSpoolPayload(const std::string& payload, HistoryRow* row);

class Spool {
 public:
  using Report = std::function<void(const std::string&)>;

  // Opens (creating) the directory, reads what earlier runs left and starts a new segment.
  // Null with *error when the directory or its first segment cannot be created.
  static std::unique_ptr<Spool> Open(const std::string& directory, uint64_t limit_bytes,
                                     Report report, std::string* error);
  ~Spool();

  // The rows earlier runs left, in sequence order (once; the list is then empty).
  std::vector<HistoryRow> TakeRecovered();
  // Gives the rows their spool numbers (spool_seq; 0 for a row the full spool cannot take)
  // and returns once they are in the file.
  void Append(std::vector<HistoryRow>& rows);
  // These rows are in the repository: a segment goes once all its rows are.
  void Committed(const std::vector<HistoryRow>& rows);
  // fdatasync when a second has passed since the last one and something was written.
  void SyncIfDue();
  uint64_t DiskBytes();
  const std::string& Directory() const { return directory_; }

 private:
  struct Segment {
    std::string path;
    uint64_t first_seq = 0, last_seq = 0;  // last 0: no row yet
    uint64_t bytes = 0;                    // written and pending
    uint64_t outstanding = 0;              // rows not yet in the repository
  };
  Spool(std::string directory, uint64_t limit, Report report);
  bool StartSegment(std::string* error);  // mu_ held
  // Writes what is pending, group by group, until nothing is; the caller holds `lock` (on
  // mu_) and is the one writer.
  void WritePending(std::unique_lock<std::mutex>& lock);

  const std::string directory_;
  const uint64_t limit_;
  const Report report_;
  std::mutex mu_;
  std::condition_variable written_;
  std::vector<Segment> segments_;  // oldest first; the last is being written; mu_
  std::shared_ptr<platform::AppendFile> file_;  // the last segment; mu_ (written unlocked)
  std::string pending_;            // encoded, not yet written; mu_
  std::string writing_buffer_;     // what the one writer is writing; that writer's alone
  uint64_t next_seq_ = 1;          // mu_
  uint64_t queued_gen_ = 0, written_gen_ = 0;  // mu_
  bool writing_ = false;           // a thread is writing; mu_
  bool dirty_ = false;             // written since the last sync; mu_
  uint64_t last_sync_ms_ = 0;      // mu_
  uint64_t unspooled_ = 0;         // rows not spooled in the current full period; mu_
  std::string unspooled_since_;    // its start time; mu_
  bool write_failing_ = false;     // mu_
  std::vector<HistoryRow> recovered_;
};

}  // namespace qx::sql
