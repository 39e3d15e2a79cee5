// Latency and throughput measurements over one Oracle Net connection, for comparing relays:
// round trips of a statement answered by a small packet, and a bulk server-to-client transfer.
// Each call runs its own server thread on `listen` and joins it before returning.
#pragma once

#include <cstdint>
#include <string>

#include "net.h"
#include "tns.h"

namespace qxpeer {

struct BenchOptions {
  Endpoint relay, listen;
  int timeout_ms = 30000;
  Framing framing = Framing::kOld;
  uint64_t count = 10000;        // round trips
  uint64_t bytes = 1000000000;   // bulk transfer size (rounded up to whole packets)
  size_t reply_size = 100;
  std::string statement = "SELECT 1 FROM DUAL";
};

struct RttResult {
  bool ok = false;
  std::string error;
  uint64_t count = 0;
  double seconds = 0, per_second = 0, median_us = 0, p99_us = 0;
};
RttResult BenchRtt(const BenchOptions& options);

struct BulkResult {
  bool ok = false;
  std::string error;
  uint64_t bytes = 0;
  double seconds = 0, mb_per_s = 0;  // MB = 10^6 bytes
};
BulkResult BenchBulk(const BenchOptions& options);

}  // namespace qxpeer
