// The relay's host-name cache: answers and failures kept for their time, across a wrap of the
// tick, and a full cache emptied rather than grown.
#include <gtest/gtest.h>

#include <map>

#include "capture/host_cache.h"

namespace qx::capture {
namespace {

struct CountingResolver {
  std::map<std::string, int> calls;
  HostAddressCache::Resolver Fn() {
    return [this](const std::string& host) {
      ++calls[host];
      return host == "WS17" ? std::string("10.1.2.3") : std::string();
    };
  }
};

TEST(HostAddressCache, KeepsAnswersAndFailuresForTheirTime) {
  CountingResolver r;
  HostAddressCache cache(r.Fn(), 1000);
  EXPECT_EQ(cache.Resolve("WS17", 100), "10.1.2.3");
  EXPECT_EQ(cache.Resolve("WS17", 1099), "10.1.2.3");
  EXPECT_EQ(cache.Resolve("NOWHERE", 100), "");
  EXPECT_EQ(cache.Resolve("NOWHERE", 900), "");
  EXPECT_EQ(r.calls["WS17"], 1);
  EXPECT_EQ(r.calls["NOWHERE"], 1);
  EXPECT_EQ(cache.Resolve("WS17", 1100), "10.1.2.3");  // kept 1000 ms, asked again
  EXPECT_EQ(r.calls["WS17"], 2);

  // The tick wraps around after 49.7 days; an answer from just before is still fresh.
  HostAddressCache wrapping(r.Fn(), 1000);
  wrapping.Resolve("WS17", 0xFFFFFF00u);
  wrapping.Resolve("WS17", 0x100u);
  EXPECT_EQ(r.calls["WS17"], 3);
  wrapping.Resolve("WS17", 0x400u);
  EXPECT_EQ(r.calls["WS17"], 4);
}

TEST(HostAddressCache, AFullCacheStartsAfresh) {
  CountingResolver r;
  HostAddressCache cache(r.Fn(), 60000, 2);
  cache.Resolve("A", 0);
  cache.Resolve("B", 0);
  cache.Resolve("C", 0);  // full: emptied, then C kept
  cache.Resolve("C", 1);
  cache.Resolve("A", 1);
  EXPECT_EQ(r.calls["A"], 2);
  EXPECT_EQ(r.calls["C"], 1);
}

}  // namespace
}  // namespace qx::capture
