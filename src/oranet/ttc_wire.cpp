// TTC field reading: integer layouts and text fields (see ttc_wire.h).
#include "oranet/ttc_wire.h"

namespace qx::oranet {

const char* LayoutName(IntLayout layout) {
  switch (layout) {
    case IntLayout::kUnknown: return "unknown";
    case IntLayout::kUniversal: return "universal";
    case IntLayout::kFixed4Ptr8: return "fixed4/ptr8";
    case IntLayout::kFixed4Ptr4: return "fixed4/ptr4";
    case IntLayout::kFixed8Ptr8: return "fixed8/ptr8";
    case IntLayout::kFixed4Ptr1: return "fixed4/ptr1";
  }
  return "?";
}

uint64_t WireReader::FixedLE(unsigned n) {
  if (!ok_ || left() < n) { ok_ = false; return 0; }
  uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v |= uint64_t{data_[pos_ + i]} << (8 * i);
  pos_ += n;
  return v;
}

uint64_t WireReader::Universal() {
  const uint8_t n = U8();
  if (!ok_) return 0;
  if (n == 0) return 0;
  if (n > 8 || left() < n) { ok_ = false; return 0; }
  uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v = (v << 8) | data_[pos_ + i];
  pos_ += n;
  return v;
}

uint64_t WireReader::Int(unsigned fixedBytes) {
  switch (layout_) {
    case IntLayout::kUniversal: return Universal();
    case IntLayout::kFixed8Ptr8: return FixedLE(fixedBytes >= 4 ? 8 : fixedBytes);
    case IntLayout::kFixed4Ptr8:
    case IntLayout::kFixed4Ptr4:
    case IntLayout::kFixed4Ptr1:
    case IntLayout::kUnknown: return FixedLE(fixedBytes);
  }
  return 0;
}

uint64_t WireReader::Ptr() {
  switch (layout_) {
    case IntLayout::kUniversal:
    case IntLayout::kFixed4Ptr1: return U8();
    case IntLayout::kFixed4Ptr4: return FixedLE(4);
    case IntLayout::kFixed4Ptr8:
    case IntLayout::kFixed8Ptr8:
    case IntLayout::kUnknown: return FixedLE(8);
  }
  return 0;
}

size_t ReadTextField(const uint8_t* data, size_t size, size_t pos, bool universalChunks,
                     std::string* out, bool* truncated) {
  out->clear();
  *truncated = false;
  if (pos >= size) { *truncated = true; return 0; }
  const uint8_t first = data[pos];
  if (first == 0 || first == 0xFD || first == 0xFF) return 0;
  if (first != 0xFE) {
    if (size - pos - 1 < first) { *truncated = true; return 0; }
    out->assign(reinterpret_cast<const char*>(data + pos + 1), first);
    return pos + 1 + first;
  }
  size_t p = pos + 1;
  // Chunks until a zero length. Bounded by the buffer: every chunk consumes bytes.
  for (;;) {
    uint64_t len = 0;
    if (universalChunks) {
      if (p >= size) { *truncated = true; return 0; }
      const uint8_t n = data[p];
      if (n > 4) return 0;
      if (size - p - 1 < n) { *truncated = true; return 0; }
      for (unsigned i = 0; i < n; ++i) len = (len << 8) | data[p + 1 + i];
      p += 1 + n;
    } else {
      if (p >= size) { *truncated = true; return 0; }
      len = data[p++];
      if (len == 0xFE || len == 0xFF) return 0;
    }
    if (len == 0) break;
    if (size - p < len) { *truncated = true; return 0; }
    out->append(reinterpret_cast<const char*>(data + p), static_cast<size_t>(len));
    p += static_cast<size_t>(len);
  }
  if (out->empty()) return 0;
  return p;
}

bool PlausibleText(std::string_view text, size_t minLength) {
  if (text.size() < minLength) return false;
  bool letter = false;
  for (unsigned char c : text) {
    if (c < 0x20) {
      if (c != '\t' && c != '\n' && c != '\r') return false;
    } else if (c == 0x7F || c == 0xFE || c == 0xFF) {
      return false;
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
      letter = true;
    }
  }
  return letter;
}

}  // namespace qx::oranet
