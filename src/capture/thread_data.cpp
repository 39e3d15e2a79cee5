// Record-only operations of a connection: its trace, byte dumps for debug lines and the
// measurement of a statement's server time.
#include "capture/thread_data.h"

#include "capture/monitor.h"

#include <cmath>

#include "platform/datetime.h"
#include "platform/platform.h"
#include "sql/byte_text.h"

namespace qx::capture {
namespace {

constexpr double kMsPerDay = 86400.0 * 1000.0;

}  // namespace

TThreadData::TThreadData() = default;
TThreadData::~TThreadData() = default;

int32_t CurrentTick() { return static_cast<int32_t>(platform::TickCount()); }

void AddTrace(TThreadData& record, std::string_view message) {
  if (!record.traceLines) return;
  std::string line = "Connection# " + std::to_string(record.connectionNo) + ": ";
  line.append(message);
  record.traceLines->push_back(std::move(line));
}

std::string DumpBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 4);
  for (size_t i = 0; i < text.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out += std::to_string(static_cast<unsigned char>(text[i]));
  }
  return out;
}

int32_t ElapsedIncrement(TThreadData& record, bool older) {
  if (record.requestTick == 0) return 0;
  const int64_t ahead = static_cast<int64_t>(record.responseCount) - record.requestCount;
  int32_t v = 0;
  if (ahead >= 0 && ahead <= 2) {
    // Wrapping 32-bit difference: a tick counter that wrapped in between gives a negative
    // value here, which counts as 0 below.
    v = static_cast<int32_t>(static_cast<uint32_t>(record.responseTick) -
                             static_cast<uint32_t>(record.requestTick));
  }
  if (v < 0) v = 0;
  record.elap3 = record.elap2;
  record.elap2 = record.elap1;
  record.elap1 = v;
  return older ? record.elap3 : v;
}

void CountResponse(TThreadData& record, int32_t tick) {
  record.responseTick = tick;
  ++record.responseCount;
  const std::string upper = sql::UpperCase(record.sqlText);
  const bool block = sql::Contains(upper, "BEGIN") || sql::Contains(upper, "DECLARE");
  if (block) {
    if (record.requestCount <= 1 && record.responseCount <= 1) {
      record.elapsedTime += ElapsedIncrement(record, false);
    }
  } else if (record.requestCount <= 3 && record.responseCount <= 4) {
    record.elapsedTime += ElapsedIncrement(record, false);
  }
}

void EndStatementTime(TThreadData& record, double now) {
  // Date-times carry milliseconds; comparing them as whole milliseconds keeps the floating-point
  // error of day fractions (about a microsecond at today's dates) from shaving one millisecond
  // off a cut (a 900 ms total cut at 500 ms must give 500, not 501).
  const int64_t startMs = std::llround(record.sqlStart * kMsPerDay);
  const int64_t nowMs = std::llround(now * kMsPerDay);
  const int64_t endMs = startMs + record.elapsedTime;
  if (nowMs >= endMs) return;
  const int64_t remaining = static_cast<int64_t>(record.elapsedTime) - (endMs - nowMs);
  record.elapsedTime = remaining < 0 ? 0 : static_cast<int32_t>(remaining);
}

void EndStatementTime(TThreadData& record) { EndStatementTime(record, platform::NowDateTime()); }

}  // namespace qx::capture
