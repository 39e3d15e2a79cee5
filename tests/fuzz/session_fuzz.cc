// libFuzzer target: the TTC request decoder and the whole session decoder. The input is a
// sequence of records "direction byte, 2-byte big-endian length, bytes" (the seed corpus holds
// recorded sessions in this form; see make_corpus.cc); the request decoder also reads every
// record alone under each integer layout. Every text an event carries is read in full, so a
// view into a freed buffer shows up under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "oranet/decoder.h"
#include "oranet/ttc_request.h"

namespace {
struct TouchingSink : qx::oranet::EventSink {
  uint64_t sum = 0;
  void OnEvent(const qx::oranet::Event& e) override {
    for (char c : e.text) sum += static_cast<unsigned char>(c);
    if (e.kind == qx::oranet::EventKind::kExecution && e.unknownCursor && !e.text.empty())
      std::abort();  // an unknown cursor's text must not be guessed
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TouchingSink sink;
  qx::oranet::DecoderOptions options;
  options.maxPacketBytes = 1 << 16;
  options.maxRequestBytes = 1 << 18;
  options.emitRequests = size > 0 && (data[0] & 0x10) != 0;
  qx::oranet::SessionDecoder decoder(sink, options);
  qx::oranet::TtcRequestDecoder requests;
  size_t i = 0;
  while (i + 3 <= size) {
    const uint8_t dir = data[i];
    size_t n = (size_t{data[i + 1]} << 8) | data[i + 2];
    i += 3;
    if (n > size - i) n = size - i;
    const uint8_t* p = data + i;
    i += n;
    if (dir == 0xFF) {
      decoder.OnGap((n & 1) ? qx::oranet::Direction::kToClient : qx::oranet::Direction::kToServer);
      continue;
    }
    decoder.Feed((dir & 1) ? qx::oranet::Direction::kToClient : qx::oranet::Direction::kToServer,
                 p, n);
    if ((dir & 1) == 0 && n > 0) {
      for (qx::oranet::IntLayout layout : qx::oranet::kLayoutTrialOrder) {
        qx::oranet::WireState wire;
        wire.layout = layout;
        if (requests.Decode(p, n, wire) == qx::oranet::RequestStatus::kOk) {
          for (const auto& call : requests.calls())
            for (char c : call.text) sink.sum += static_cast<unsigned char>(c);
        }
      }
    }
  }
  decoder.Finish();
  // Nothing may come out after Finish.
  const uint64_t before = sink.sum;
  decoder.Feed(qx::oranet::Direction::kToServer, data, size);
  if (sink.sum != before) std::abort();
  return 0;
}
