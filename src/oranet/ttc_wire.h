// Reading TTC fields: the integer layouts a connection may have negotiated, a bounds-checked
// cursor over one message buffer, and the text-field reader (one length byte, or 0xFE then
// chunks then 0) shared by the request and the answer decoders.
//
// Pure functions and a value type; no state beyond the buffer being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qx::oranet {

// How integers and pointers are written in call bodies.
enum class IntLayout : uint8_t {
  kUnknown,
  kUniversal,   // thin clients: a length byte (0 = the value 0), then big-endian bytes; 1-byte pointers
  kFixed4Ptr8,  // OCI on 64-bit hosts: 4-byte little-endian integers, 8-byte pointers
  kFixed4Ptr4,  // OCI on 32-bit Windows: 4-byte integers, 4-byte pointers
  kFixed8Ptr8,  // 12c OCI: 8-byte integers and pointers
  kFixed4Ptr1,  // OCI writing 1-byte pointer flags
};

inline constexpr IntLayout kLayoutTrialOrder[] = {IntLayout::kUniversal, IntLayout::kFixed4Ptr8,
                                                  IntLayout::kFixed4Ptr4, IntLayout::kFixed8Ptr8,
                                                  IntLayout::kFixed4Ptr1};

const char* LayoutName(IntLayout layout);

class WireReader {
 public:
  WireReader(const uint8_t* data, size_t size, IntLayout layout)
      : data_(data), size_(size), layout_(layout) {}

  size_t pos() const { return pos_; }
  size_t size() const { return size_; }
  size_t left() const { return size_ - pos_; }
  bool ok() const { return ok_; }
  void Seek(size_t pos) {
    if (pos > size_) ok_ = false; else pos_ = pos;
  }
  const uint8_t* data() const { return data_; }

  bool Skip(size_t n) {
    if (!ok_ || n > left()) return ok_ = false;
    pos_ += n;
    return true;
  }
  uint8_t U8() {
    if (!ok_ || left() < 1) { ok_ = false; return 0; }
    return data_[pos_++];
  }
  uint8_t Peek(size_t ahead = 0) const { return pos_ + ahead < size_ ? data_[pos_ + ahead] : 0; }

  // An integer field of the layout (ub2/ub4: the same form on the wire except for the fixed
  // widths below).
  uint64_t Int(unsigned fixedBytes = 4);
  uint64_t UB2() { return Int(2); }
  uint64_t UB4() { return Int(4); }
  // A pointer field: nonzero when it points to something.
  uint64_t Ptr();
  // A universal integer whatever the layout (thin chunk lengths, some answers).
  uint64_t Universal();

 private:
  uint64_t FixedLE(unsigned n);

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  IntLayout layout_;
  bool ok_ = true;
};

// A text field as it stands at `pos`: 1-byte length and bytes, or 0xFE, chunks (1-byte lengths
// from OCI clients, universal lengths from thin clients), then 0. The text (without chunk
// lengths) goes to *out; returns the position after the field, or 0 when the bytes there are
// not a complete text field (*truncated set when only more bytes would have made it one).
size_t ReadTextField(const uint8_t* data, size_t size, size_t pos, bool universalChunks,
                     std::string* out, bool* truncated);

// Whether bytes look like SQL or a user name as a client writes them: printable (any byte >=
// 0x80 except 0xFE/0xFF, tabs and line ends), at least one letter.
bool PlausibleText(std::string_view text, size_t minLength);

}  // namespace qx::oranet
