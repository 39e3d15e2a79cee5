// Texts of the capture-health counters (capture_health.h).
#include "capture/capture_health.h"

namespace qx::capture {

std::string HealthText(const HealthSnapshot& s, const std::string& separator) {
  static constexpr const char* kNames[] = {
      "connections",  "joined_midstream", "excluded", "logons_failed",  "executions",
      "unknown_cursors", "fallbacks",     "gaps",     "frames_dropped",
  };
  static_assert(std::size(kNames) == static_cast<size_t>(Health::kCount));
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i > 0) out += separator;
    out += kNames[i];
    out += '=';
    out += std::to_string(s[i]);
  }
  return out;
}

}  // namespace qx::capture
