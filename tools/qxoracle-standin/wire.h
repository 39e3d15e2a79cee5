// Byte-level encoding of the stand-in Oracle server: TTC field readers and writers (universal
// integers, length-prefixed and chunked byte strings), hex and the escaping of statement texts
// for the log.
//
// Threading: plain values; each object belongs to the connection thread that made it.
// Errors: TtcReader throws NeedMoreData when the input ends inside a field (the caller waits for
// the next packet of the request) and Malformed when a field cannot be what the protocol allows.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace standin {

struct NeedMoreData : std::runtime_error {
  NeedMoreData() : std::runtime_error("message ends inside a field") {}
};
struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class TtcReader {
 public:
  explicit TtcReader(std::string_view data, size_t pos = 0) : data_(data), pos_(pos) {}
  uint8_t U8();
  // Universal integers: a length byte (0x80 set: negative), then that many big-endian bytes.
  uint64_t UB(int max_size);
  uint32_t UB2() { return static_cast<uint32_t>(UB(2)); }
  uint32_t UB4() { return static_cast<uint32_t>(UB(4)); }
  uint64_t UB8() { return UB(8); }
  int64_t SB(int max_size);
  std::string Raw(size_t n);
  // One length byte then the bytes; 0xFE: chunks of UB4 length ending with a zero length;
  // 0 and 0xFF: null, returned as "".
  std::string BytesWithLength();
  size_t pos() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  bool AtEnd() const { return pos_ >= data_.size(); }
  uint8_t PeekU8(size_t ahead = 0) const;

 private:
  std::string_view data_;
  size_t pos_;
};

class TtcWriter {
 public:
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void UB(uint64_t v);
  void SB(int64_t v);
  void Raw(std::string_view bytes) { out_.append(bytes); }
  void BytesWithLength(std::string_view bytes);
  // UB4 length, the bytes with their length, the same for the value, then UB4 flags.
  void KeyValue(std::string_view key, std::string_view value, uint32_t flags = 0);
  const std::string& data() const { return out_; }

 private:
  std::string out_;
};

std::string HexUpper(std::string_view bytes);
// False when the text is not an even number of hex digits.
bool Unhex(std::string_view hex, std::string* out);

// One statement per log line: backslash, CR, LF, TAB and other control bytes are escaped
// (\\, \r, \n, \t, \xHH); every other byte is written as it is.
std::string EscapeText(std::string_view text);

uint32_t ReadBe32(std::string_view bytes, size_t at);
uint16_t ReadBe16(std::string_view bytes, size_t at);

}  // namespace standin
