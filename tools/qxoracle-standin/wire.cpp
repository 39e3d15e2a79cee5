// TTC field encoding for the stand-in server.
#include "wire.h"

namespace standin {

uint8_t TtcReader::U8() {
  if (pos_ >= data_.size()) throw NeedMoreData();
  return static_cast<uint8_t>(data_[pos_++]);
}

uint8_t TtcReader::PeekU8(size_t ahead) const {
  if (pos_ + ahead >= data_.size()) throw NeedMoreData();
  return static_cast<uint8_t>(data_[pos_ + ahead]);
}

uint64_t TtcReader::UB(int max_size) {
  const uint8_t size = U8();
  if (size == 0) return 0;
  if (size & 0x80) throw Malformed("negative value in an unsigned field");
  if (size > max_size) throw Malformed("integer field too long");
  uint64_t v = 0;
  for (int i = 0; i < size; ++i) v = (v << 8) | U8();
  return v;
}

int64_t TtcReader::SB(int max_size) {
  uint8_t size = U8();
  if (size == 0) return 0;
  const bool negative = size & 0x80;
  size &= 0x7F;
  if (size > max_size) throw Malformed("integer field too long");
  int64_t v = 0;
  for (int i = 0; i < size; ++i) v = (v << 8) | U8();
  return negative ? -v : v;
}

std::string TtcReader::Raw(size_t n) {
  if (remaining() < n) throw NeedMoreData();
  std::string out(data_.substr(pos_, n));
  pos_ += n;
  return out;
}

std::string TtcReader::BytesWithLength() {
  const uint8_t len = U8();
  if (len == 0 || len == 0xFF) return {};
  if (len != 0xFE) return Raw(len);
  std::string out;
  for (;;) {
    const uint32_t chunk = UB4();
    if (chunk == 0) break;
    out += Raw(chunk);
  }
  return out;
}

void TtcWriter::UB(uint64_t v) {
  if (v == 0) {
    U8(0);
    return;
  }
  int size = 0;
  for (uint64_t t = v; t; t >>= 8) ++size;
  U8(static_cast<uint8_t>(size));
  for (int i = size - 1; i >= 0; --i) U8(static_cast<uint8_t>(v >> (8 * i)));
}

void TtcWriter::SB(int64_t v) {
  if (v >= 0) {
    UB(static_cast<uint64_t>(v));
    return;
  }
  const uint64_t m = static_cast<uint64_t>(-v);
  int size = 0;
  for (uint64_t t = m; t; t >>= 8) ++size;
  U8(static_cast<uint8_t>(size | 0x80));
  for (int i = size - 1; i >= 0; --i) U8(static_cast<uint8_t>(m >> (8 * i)));
}

void TtcWriter::BytesWithLength(std::string_view bytes) {
  if (bytes.size() <= 252) {
    U8(static_cast<uint8_t>(bytes.size()));
    Raw(bytes);
    return;
  }
  U8(0xFE);
  constexpr size_t kChunk = 32767;
  for (size_t at = 0; at < bytes.size(); at += kChunk) {
    const std::string_view piece = bytes.substr(at, kChunk);
    UB(piece.size());
    Raw(piece);
  }
  UB(0);
}

void TtcWriter::KeyValue(std::string_view key, std::string_view value, uint32_t flags) {
  UB(key.size());
  BytesWithLength(key);
  UB(value.size());
  if (!value.empty()) BytesWithLength(value);
  UB(flags);
}

std::string HexUpper(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool Unhex(std::string_view hex, std::string* out) {
  if (hex.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static const char* digits = "0123456789abcdef";
          out += "\\x";
          out.push_back(digits[c >> 4]);
          out.push_back(digits[c & 15]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out;
}

uint32_t ReadBe32(std::string_view b, size_t at) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 8) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3]));
}

uint16_t ReadBe16(std::string_view b, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(b[at]) << 8) | static_cast<uint8_t>(b[at + 1]));
}

}  // namespace standin
