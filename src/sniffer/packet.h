// Decoding of one captured frame into the TCP segment it carries, for every link type the
// system captures from: Ethernet (with 802.1Q / 802.1ad / QinQ tags), Linux cooked capture
// v1 and v2 (what `tcpdump -i any` records), BSD loopback (null and loop) and raw IP; then
// IPv4 or IPv6, then TCP. This is the one place where frames are taken apart; the sniffer,
// passive mode, the test peer and the test readers all go through it.
//
// Rules:
// - Only `captured` bytes of the frame exist; every field is checked against that length
//   before it is read. Anything malformed, cut inside its headers, not TCP, or a fragment
//   other than the first decodes as "not TCP" (false).
// - IPv4: options skipped (header length field); the payload ends where the total length
//   says, so an Ethernet FCS or padding never counts as payload; a total length of 0 (left
//   so by segmentation offload in locally captured frames) stands for "up to the captured
//   end". A first fragment decodes (its payload is the fragment's part); later ones do not.
// - IPv6: hop-by-hop, routing and destination options headers are skipped; a fragment
//   header with a non-zero offset makes the frame "not TCP". A payload length of 0 (jumbo
//   or offload) stands for "up to the captured end".
// - The payload view points into the frame: valid as long as the frame is.
//
// Threading: pure functions and plain values; safe from any thread.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::sniffer {

// Link types as pcap_datalink reports them (libpcap maps a file's LINKTYPE_ value to these).
inline constexpr int kLinkNull = 0;          // DLT_NULL: 4-byte family, host byte order
inline constexpr int kLinkEthernet = 1;      // DLT_EN10MB
inline constexpr int kLinkRaw = 12;          // DLT_RAW on most systems
inline constexpr int kLinkRawOpenBsd = 14;   // DLT_RAW on OpenBSD
inline constexpr int kLinkRawFile = 101;     // LINKTYPE_RAW as stored in files
inline constexpr int kLinkLoop = 108;        // DLT_LOOP: 4-byte family, network byte order
inline constexpr int kLinkLinuxSll = 113;    // DLT_LINUX_SLL, cooked capture v1
inline constexpr int kLinkIpv4 = 228;        // DLT_IPV4: raw IPv4
inline constexpr int kLinkIpv6 = 229;        // DLT_IPV6: raw IPv6
inline constexpr int kLinkLinuxSll2 = 276;   // DLT_LINUX_SLL2, cooked capture v2

// True for the link types DecodeTcpPacket understands.
bool KnownLinkType(int link_type);

// An IPv4 or IPv6 address: family 4 keeps its 4 bytes at the start of `bytes` (the rest 0),
// family 6 all 16; family 0 is "no address". Ordered and compared bytewise.
struct IpAddress {
  uint8_t family = 0;
  std::array<uint8_t, 16> bytes{};

  // From an address number whose most significant byte is the first octet.
  static IpAddress V4(uint32_t number);
  static IpAddress V6(const uint8_t bytes16[16]);
  // Dotted decimal for IPv4 ("192.168.0.1"), RFC 5952 text for IPv6 ("2001:db8::1",
  // "::ffff:10.0.0.1" for IPv4-mapped addresses); "" for family 0.
  std::string Text() const;
  // The IPv4 address number (first octet most significant); 0 unless family 4.
  uint32_t V4Number() const;

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
  friend auto operator<=>(const IpAddress&, const IpAddress&) = default;
};

struct TcpFlags {
  bool syn = false;
  bool fin = false;
  bool rst = false;
  bool ack = false;

  static TcpFlags FromByte(uint8_t bits) {
    return TcpFlags{(bits & 0x02) != 0, (bits & 0x01) != 0, (bits & 0x04) != 0,
                    (bits & 0x10) != 0};
  }
};

// One TCP segment decoded from a frame; numbers in host order.
struct TcpPacket {
  IpAddress source;
  IpAddress destination;
  uint16_t source_port = 0;
  uint16_t destination_port = 0;
  uint32_t sequence = 0;
  uint32_t acknowledgement = 0;
  TcpFlags flags;
  uint8_t flag_bits = 0;             // the TCP flags byte as sent
  const uint8_t* payload = nullptr;  // into the frame
  size_t payload_length = 0;         // payload bytes present in the capture
  size_t payload_wire_length = 0;    // payload bytes the IP header announces (>= the above
                                     // unless the length was 0, see above)
  size_t network_offset = 0;         // where the IP header starts in the frame
  size_t payload_offset = 0;         // where the payload starts in the frame
  int vlan_tags = 0;                 // Ethernet tags passed over
  bool first_fragment = false;       // the datagram was fragmented: payload is partial

  // Bytes from the start of the IP header to the payload (IP with its options or extension
  // headers, and TCP with its options).
  size_t HeaderBytes() const { return payload_offset - network_offset; }
};

// Decodes the frame of a capture of `link_type` (see the rules above). False, with *out in
// an unspecified state, when the frame holds no decodable TCP segment.
bool DecodeTcpPacket(int link_type, const uint8_t* frame, size_t captured, TcpPacket* out);

// The network layer of a frame: where its IP header starts and which version it is (4 or 6,
// as the link layer announces it). False for other protocols and unknown link types.
bool FindNetworkLayer(int link_type, const uint8_t* frame, size_t captured, size_t* offset,
                      int* version, int* vlan_tags);

}  // namespace qx::sniffer
