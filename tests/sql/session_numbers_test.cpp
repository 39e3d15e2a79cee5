// The session-number reserve: numbers come from the reserve without waiting, placeholders
// resolve to one number each, and an outage is reported once at each end.
#include "sql/session_numbers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace qx::sql {
namespace {

TEST(SessionNumbers, ReservesAheadAndResolvesPlaceholdersOnceAfterAnOutage) {
  std::atomic<bool> failing{true};
  std::atomic<int> next{0};
  std::mutex mu;
  std::vector<std::string> lines;
  SessionNumbers numbers(
      [&]() -> double {
        if (failing) throw std::runtime_error("database is locked");
        return ++next;
      },
      [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mu);
        lines.push_back(line);
      },
      8);
  EXPECT_EQ(numbers.TryTake(), 0);  // nothing could be drawn yet: never waits
  const uint64_t key = numbers.NewKey();
  EXPECT_NE(key, numbers.NewKey());
  EXPECT_ANY_THROW(numbers.Resolve(key));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // several failed refills
  failing = false;
  for (int i = 0; i < 100 && numbers.Reserved() < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(numbers.Reserved(), 8u);
  const double resolved = numbers.Resolve(key);
  EXPECT_EQ(numbers.Resolve(key), resolved);
  const double taken = numbers.TryTake();
  EXPECT_NE(taken, 0);
  EXPECT_NE(taken, resolved);
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("database is locked"), std::string::npos);
  EXPECT_NE(lines[1].find("again"), std::string::npos);
}

}  // namespace
}  // namespace qx::sql
