// The server's answer to one request, read packet by packet as far as the session decoder
// needs it: where the answer ends (the end-of-response data flag 0x2000, a status message, an
// error message), the error number (1403 at the end of a fetch counts as success), the rows
// processed and the cursor id the server gave a parse (from the return status, or from the
// answer to an OCI open). Row data, describe information and key/value pairs are skipped
// unread; nothing is copied.
//
// Threading: one decoder per connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "oranet/ttc_wire.h"

namespace qx::oranet {

struct AnswerOutcome {
  bool outcomeKnown = false;
  int32_t errorCode = 0;   // 1403 already turned into 0
  uint64_t rows = 0;
  bool rowsKnown = false;  // rows was read (thin clients' return status); OCI answers: no
  bool haveCursor = false;
  uint32_t cursor = 0;
  bool ended = false;      // the answer is complete
  bool markers = false;    // the server interrupted the call with a MARKER
};

class TtcResponseDecoder {
 public:
  // A new answer, to a call of `function` (0 when the request held no call).
  void Begin(uint8_t function);
  // One DATA packet of the answer: its payload (data flags removed) and data flags.
  // endFlagsSeen: the server marks the end of its answers with 0x2000 on this connection, so
  // nothing else ends one.
  void OnData(const uint8_t* payload, size_t size, uint16_t dataFlags, IntLayout layout,
              bool endFlagsSeen);
  void OnMarker() { outcome_.markers = true; }
  const AnswerOutcome& outcome() const { return outcome_; }

 private:
  // The error message "ORA-nnnnn: ..." in its length-prefixed field; -1 when none.
  static int32_t FindErrorText(const uint8_t* p, size_t n, size_t* at);
  bool ReadUniversalStatus(const uint8_t* p, size_t n, size_t i, int32_t expected,
                           bool expectKnown);

  uint8_t function_ = 0;
  AnswerOutcome outcome_;
  int fixedErrorOffset_ = 0;  // where the error number stands in an OCI return status
};

}  // namespace qx::oranet
