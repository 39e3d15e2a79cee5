// The key of a passive connection's record: its client's binary address and port, as a frame
// carries them, so that a frame finds its record without its address being put into text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qx::capture {

struct PassiveKey {
  std::array<uint8_t, 16> address{};  // IPv4 in the first four bytes
  uint8_t family = 0;                 // 4 or 6
  uint16_t port = 0;

  friend bool operator==(const PassiveKey&, const PassiveKey&) = default;
};

struct PassiveKeyHash {
  size_t operator()(const PassiveKey& k) const {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, k.address.data(), 8);
    std::memcpy(&b, k.address.data() + 8, 8);
    // Client ports differ where addresses repeat: mix them into the bits both halves share.
    uint64_t h = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full;
    h ^= (static_cast<uint64_t>(k.port) << 8 | k.family) * 0x165667B19E3779F9ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

}  // namespace qx::capture
