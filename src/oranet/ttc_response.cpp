// Reading the server's answers (see ttc_response.h).
#include "oranet/ttc_response.h"

#include <cstring>

#include "oranet/ttc_request.h"

namespace qx::oranet {

namespace {
constexpr uint16_t kFlagEndOfResponse = 0x2000;

uint32_t U16LE(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8); }

// The last byte `b` in p[0, n), or null.
const uint8_t* FindLastByte(const uint8_t* p, size_t n, uint8_t b) {
#if defined(__GLIBC__)
  return static_cast<const uint8_t*>(memrchr(p, b, n));
#else
  while (n-- > 0) {
    if (p[n] == b) return p + n;
  }
  return nullptr;
#endif
}
}  // namespace

void TtcResponseDecoder::Begin(uint8_t function) {
  function_ = function;
  outcome_ = AnswerOutcome{};
}

int32_t TtcResponseDecoder::FindErrorText(const uint8_t* p, size_t n, size_t* at) {
  // Row data makes up most answers: the search jumps from one '-' to the next (memchr looks
  // at many bytes at a time) and compares the three bytes before it.
  for (size_t dash = 4; dash + 7 <= n; ++dash) {
    const void* hit = memchr(p + dash, '-', n - dash);
    if (!hit) return -1;
    dash = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
    const size_t i = dash - 3;
    if (i + 10 > n) return -1;
    if (p[i] != 'O' || p[i + 1] != 'R' || p[i + 2] != 'A') continue;
    const size_t len = p[i - 1];
    if (len < 10 || i + len > n) continue;
    int32_t code = 0;
    bool digits = true;
    for (size_t d = 4; d < 9; ++d) {
      if (p[i + d] < '0' || p[i + d] > '9') { digits = false; break; }
      code = code * 10 + (p[i + d] - '0');
    }
    if (!digits || p[i + 9] != ':') continue;
    *at = i - 1;
    return code;
  }
  return -1;
}

bool TtcResponseDecoder::ReadUniversalStatus(const uint8_t* p, size_t n, size_t i,
                                             int32_t expected, bool expectKnown) {
  WireReader r(p + i + 1, n - i - 1, IntLayout::kUniversal);
  const uint64_t callStatus = r.UB4();
  r.UB2();                          // end-to-end sequence
  const uint64_t row = r.UB4();     // current row number
  const uint64_t error = r.UB2();
  r.UB2();
  r.UB2();                          // array element errors
  const uint64_t cursor = r.UB2();
  if (!r.ok() || callStatus > 0xFFFF || cursor > 0xFFFF) return false;
  if (expectKnown ? static_cast<int64_t>(error) != expected : (error != 0 && error != 1403))
    return false;
  outcome_.outcomeKnown = true;
  outcome_.errorCode = error == 1403 ? 0 : static_cast<int32_t>(error);
  outcome_.rows = row;
  outcome_.rowsKnown = true;
  if (cursor != 0) {
    outcome_.haveCursor = true;
    outcome_.cursor = static_cast<uint32_t>(cursor);
  }
  return true;
}

void TtcResponseDecoder::OnData(const uint8_t* p, size_t n, uint16_t dataFlags, IntLayout layout,
                                bool endFlagsSeen) {
  if ((dataFlags & kFlagEndOfResponse) != 0) outcome_.ended = true;
  if (n == 0) return;
  const bool universal = layout == IntLayout::kUniversal;

  // The answer to an OCI open: return parameters holding the new cursor id.
  if (function_ == kFnOpen && p[0] == 0x08 && n >= 5) {
    WireReader r(p + 1, n - 1, universal ? IntLayout::kUniversal : IntLayout::kFixed4Ptr4);
    const uint64_t cursor = r.UB4();
    if (r.ok() && cursor != 0 && cursor < (1u << 20)) {
      outcome_.haveCursor = true;
      outcome_.cursor = static_cast<uint32_t>(cursor);
    }
  }

  size_t textAt = 0;
  const int32_t error = FindErrorText(p, n, &textAt);
  if (error >= 0) {
    outcome_.outcomeKnown = true;
    outcome_.errorCode = error == 1403 ? 0 : error;
    if (!endFlagsSeen) outcome_.ended = true;
  }

  // The return status (message 4).
  if (universal) {
    bool found = false;
    if (p[0] == 0x04) found = ReadUniversalStatus(p, n, 0, error, error >= 0);
    if (!found) {
      const size_t limit = error >= 0 ? textAt : n;
      // From the end backwards, every 0x04 at position 1 or later.
      for (size_t end = limit; end > 1;) {
        const uint8_t* hit = FindLastByte(p + 1, end - 1, 0x04);
        if (!hit) break;
        const size_t i = static_cast<size_t>(hit - p);
        if (ReadUniversalStatus(p, n, i, error, error >= 0)) { found = true; break; }
        end = i;
      }
    }
    if (found && p[0] == 0x04 && !endFlagsSeen) outcome_.ended = true;
  } else if (error > 0 && error <= 0xFFFF) {
    // OCI: the error number stands a few bytes into the status, the cursor id six bytes later.
    const int first = fixedErrorOffset_ ? fixedErrorOffset_ : 8;
    const int last = fixedErrorOffset_ ? fixedErrorOffset_ : 12;
    for (size_t i = 0; i + 20 <= textAt + 1 && i + 20 <= n; ++i) {
      if (p[i] != 0x04) continue;
      bool matched = false;
      for (int k = first; k <= last; ++k) {
        if (i + k + 8 > n) break;
        if (U16LE(p + i + k) != static_cast<uint32_t>(error)) continue;
        fixedErrorOffset_ = k;
        const uint32_t cursor = U16LE(p + i + k + 6);
        if (cursor != 0) {
          outcome_.haveCursor = true;
          outcome_.cursor = cursor;
        }
        matched = true;
        break;
      }
      if (matched) break;
    }

  } else if (error < 0 && fixedErrorOffset_ != 0) {
    // No error: once an earlier error showed where the number stands, the last message 4
    // with a zero error number, zero array errors and a cursor id gives the cursor.
    const size_t k = static_cast<size_t>(fixedErrorOffset_);
    for (size_t i = n; i-- > 0;) {
      if (p[i] != 0x04 || i + k + 8 > n) continue;
      if (p[i + 3] != 0 || p[i + 4] != 0) continue;  // call status: a small number
      bool zeros = true;
      for (size_t z = k; z < k + 6; ++z) zeros &= p[i + z] == 0;
      if (!zeros) continue;
      const uint32_t cursor = U16LE(p + i + k + 6);
      if (cursor == 0) continue;
      outcome_.haveCursor = true;
      outcome_.cursor = cursor;
      break;
    }
  }

  // A status message alone (commit, rollback, logoff answers).
  if (p[0] == 0x09 && n <= 16) {
    outcome_.outcomeKnown = true;
    if (!endFlagsSeen) outcome_.ended = true;
  }
}

}  // namespace qx::oranet
