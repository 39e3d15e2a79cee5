// How well a service sees its traffic: counters kept per monitored service while it runs, told
// to the service log at each status heartbeat in which one changed and answered on the managing
// port (getCaptureStats). They say whether anything escapes the record: connections joined after
// their start, executions of cursors parsed before that, requests the decoder could not read,
// bytes the capture lost.
//
// Threading: every counter is an atomic, bumped by connection and capture threads and read by the
// service thread; a snapshot is a plain copy. The last logged snapshot belongs to the service
// thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::capture {

enum class Health : size_t {
  kConnections,      // connections seen
  kJoinedMidStream,  // connections whose start was never seen (no connect descriptor)
  kExcluded,         // connections the service filters excluded
  kLogonsFailed,     // logons the server refused (ORA-01017 and the like)
  kExecutions,       // executions attributed to a statement and queued for the history
  kUnknownCursors,   // executions of cursors parsed before the connection was joined
  kFallbacks,        // requests handed to the keyword search because they could not be decoded
  kGaps,             // reassembly gaps (bytes lost by the capture)
  kFramesDropped,    // frames the capture library reports as dropped
  kCount,
};

using HealthSnapshot = std::array<uint64_t, static_cast<size_t>(Health::kCount)>;

class CaptureHealth {
 public:
  void Add(Health what, uint64_t n = 1) {
    counters_[static_cast<size_t>(what)].fetch_add(n, std::memory_order_relaxed);
  }
  void Set(Health what, uint64_t n) {
    counters_[static_cast<size_t>(what)].store(n, std::memory_order_relaxed);
  }
  HealthSnapshot Snapshot() const {
    HealthSnapshot s{};
    for (size_t i = 0; i < s.size(); ++i) s[i] = counters_[i].load(std::memory_order_relaxed);
    return s;
  }

 private:
  std::array<std::atomic<uint64_t>, static_cast<size_t>(Health::kCount)> counters_{};
};

// "connections=3@QXR@joined_midstream=0@QXR@..." : every counter, in the order above.
std::string HealthText(const HealthSnapshot& s, const std::string& separator = "@QXR@");

}  // namespace qx::capture
