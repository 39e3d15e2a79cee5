// Statement hash texts and the first-in-first-out statement cache.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "sql/sql_hash.h"

namespace qx::sql {
namespace {

std::vector<double> Ids(const TSQLCache& cache) {
  std::vector<double> ids;
  for (const TSQLData& d : cache.Entries()) ids.push_back(d.id);
  return ids;
}

TEST(GetSQLHash, FirstFifteenDigestBytesInDecimal) {
  EXPECT_EQ(GetSQLHash("abc"), "1691536254716129106186623711312080194");
  // Exact bytes: case, blanks and embedded zero bytes all change the hash.
  EXPECT_NE(GetSQLHash("ABC"), GetSQLHash("abc"));
  EXPECT_NE(GetSQLHash("abc "), GetSQLHash("abc"));
  EXPECT_NE(GetSQLHash(std::string("abc\0", 4)), GetSQLHash("abc"));
  // da 39 a3 ee 5e 6b 4b 0d 32 55 bf ef 95 60 18 ...: zero bytes print as "0", no padding.
  EXPECT_EQ(GetSQLHash(""), "2185716323894107751350851912391499624");
}

TEST(TSQLCache, KeepsTheMostRecentlyAddedNewestFirst) {
  TSQLCache cache(3);
  for (double id : {1.0, 2.0, 3.0}) cache.Add({id, "h" + std::to_string(int(id))});
  ASSERT_TRUE(cache.Find("h1"));  // a hit does not save A from being pushed out
  cache.Add({4, "h4"});
  EXPECT_EQ(Ids(cache), (std::vector<double>{4, 3, 2}));
  EXPECT_FALSE(cache.Find("h1"));
  EXPECT_EQ(cache.Find("h2")->id, 2);
  EXPECT_FALSE(cache.Find("h"));  // whole-hash comparison
}

TEST(TSQLCache, CapacityZeroOrNegativeHoldsNothing) {
  for (int capacity : {0, -5}) {
    TSQLCache cache(capacity);
    EXPECT_EQ(cache.Capacity(), 0u);
    cache.Add({1, "h1"});
    EXPECT_EQ(cache.Size(), 0u);
    EXPECT_FALSE(cache.Find("h1"));
  }
}

TEST(TSQLCache, DuplicateHashesLeaveOldestFirstAndTheNewestAnswers) {
  TSQLCache cache(2);
  cache.Add({1, "h"});
  cache.Add({2, "h"});
  EXPECT_EQ(cache.Find("h")->id, 2);
  cache.Add({3, "x"});  // pushes out id 1; id 2 still answers
  EXPECT_EQ(cache.Find("h")->id, 2);
  cache.Add({4, "y"});  // pushes out id 2: no entry with hash h is left
  EXPECT_FALSE(cache.Find("h"));
  EXPECT_EQ(Ids(cache), (std::vector<double>{4, 3}));
}

TEST(TSQLCache, ConcurrentAddsAndFindsKeepTheBound) {
  TSQLCache cache(50);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, t] {
      for (int i = 0; i < 2000; ++i) {
        const std::string hash = GetSQLHash(std::to_string(i % 97));
        if (!cache.Find(hash)) cache.Add({double(t * 10000 + i), hash});
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(cache.Size(), 50u);
  for (const TSQLData& d : cache.Entries()) EXPECT_TRUE(cache.Find(d.sqlhash));
}

}  // namespace
}  // namespace qx::sql
