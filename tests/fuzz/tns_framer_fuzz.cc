// libFuzzer target: the TNS framer on arbitrary bytes in arbitrary splits. The first input
// byte chooses the split size and whether lengths are 4 bytes; every packet handed out must lie
// inside the bytes fed (or the framer's own buffer) and have a plausible length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "oranet/tns_framer.h"

namespace {
struct CheckingSink : qx::oranet::TnsPacketSink {
  qx::oranet::TnsFramer* framer = nullptr;
  bool switchOnAccept = false;
  uint64_t sum = 0;
  void OnPacket(const qx::oranet::TnsPacket& p) override {
    if (p.length < 8 || p.length > 4096 || p.bytes == nullptr) std::abort();
    for (uint32_t i = 0; i < p.length; ++i) sum += p.bytes[i];  // every byte readable
    if (switchOnAccept && p.type == qx::oranet::kTnsAccept) framer->SetLargeLengths(true);
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  ++data;
  --size;
  qx::oranet::TnsFramer framer(4096);
  CheckingSink sink;
  sink.framer = &framer;
  sink.switchOnAccept = (mode & 0x80) != 0;
  framer.SetLargeLengths((mode & 0x40) != 0);
  const size_t step = (mode & 0x3F) + 1;
  for (size_t i = 0; i < size; i += step) {
    const size_t n = size - i < step ? size - i : step;
    framer.Feed(data + i, n, sink);
    if ((mode & 0x3F) == 0x3F && i % 97 == 0) framer.Reset();
  }
  return 0;
}
