// The spool's segments as a process that ends without closing them leaves them: written through
// a mapping whose reserved room reads as zeros, read back whole by the next start.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sql/spool.h"
#include "support/test_util.h"

namespace qx::sql {
namespace {

HistoryRow NumberedRow(int i) {
  HistoryRow r;
  r.sql_id = i;
  r.exec_date = 46000 + i;
  r.exec_time = i * 0.5;
  r.stream_key = 7;
  r.stream_seq = static_cast<uint64_t>(i + 1);
  // Long texts, so that the rows cross several of the file's reserved steps (1 MB).
  r.sql_text = "select " + std::string(2000 + i % 7, 'x') + " from t" + std::to_string(i);
  r.host = "h" + std::to_string(i % 3);
  if (i % 2) r.error_code = 1000 + i;
  return r;
}

TEST(Spool, RowsOfAProcessThatEndedWithoutClosingAreReadBackWholeAndInOrder) {
  test::TempDir dir;
  const std::string spool_dir = dir.File("spool");
  const int kRows = 3000;
  // The child appends in groups and ends as a kill would: no destructor, no sync.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    auto spool = Spool::Open(spool_dir, 1ull << 30, [](const std::string&) {}, &error);
    if (!spool) _exit(2);
    for (int i = 0; i < kRows; i += 10) {
      std::vector<HistoryRow> rows;
      for (int k = i; k < i + 10; ++k) rows.push_back(NumberedRow(k));
      spool->Append(rows);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  std::vector<std::string> reports;
  std::string error;
  auto spool = Spool::Open(spool_dir, 1ull << 30,
                           [&](const std::string& m) { reports.push_back(m); }, &error);
  ASSERT_TRUE(spool) << error;
  const std::vector<HistoryRow> back = spool->TakeRecovered();
  ASSERT_EQ(back.size(), static_cast<size_t>(kRows));
  for (int i = 0; i < kRows; ++i) {
    const HistoryRow want = NumberedRow(i);
    const HistoryRow& got = back[static_cast<size_t>(i)];
    ASSERT_EQ(got.spool_seq, static_cast<uint64_t>(i + 1)) << i;
    ASSERT_EQ(got.sql_text, want.sql_text) << i;
    ASSERT_EQ(got.exec_date, want.exec_date) << i;
    ASSERT_EQ(got.error_code, want.error_code) << i;
    ASSERT_EQ(got.host, want.host) << i;
  }
  // The zeros of the reserved room are not a torn entry.
  EXPECT_EQ(reports, std::vector<std::string>{});

  // Rows appended after the recovery go on from the last number, and a closed segment ends
  // at its data.
  std::vector<HistoryRow> more{NumberedRow(kRows)};
  spool->Append(more);
  EXPECT_EQ(more[0].spool_seq, static_cast<uint64_t>(kRows + 1));
  spool.reset();
  auto again = Spool::Open(spool_dir, 1ull << 30, [](const std::string&) {}, &error);
  ASSERT_TRUE(again) << error;
  const std::vector<HistoryRow> all = again->TakeRecovered();
  ASSERT_EQ(all.size(), static_cast<size_t>(kRows + 1));
  EXPECT_EQ(all.back().sql_text, NumberedRow(kRows).sql_text);
}

}  // namespace
}  // namespace qx::sql
#endif  // !_WIN32
