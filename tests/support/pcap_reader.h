// Reads recorded Ethernet captures (pcap or pcapng) with libpcap and hands the tests their TCP
// segments, and the client-to-server payloads of each TCP connection in capture order. The
// frames are taken apart here by hand on purpose, independently of the product's own frame
// handling, so a test built on it checks that code against a second reading.
//
// Frame rules: Ethernet II, any number of 802.1Q / 802.1ad tags, IPv4 only (other frames are
// skipped). The payload length comes from the IP total length, never from the captured length,
// so an Ethernet FCS trailer or padding does not leak into the payload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::testsupport {

struct TcpSegment {
  size_t frame = 0;  // 1-based frame number in the file
  uint32_t srcIp = 0, dstIp = 0;  // first octet most significant
  uint16_t srcPort = 0, dstPort = 0;
  uint32_t seq = 0;
  uint8_t flags = 0;  // TCP flag byte (0x02 SYN, 0x10 ACK, 0x01 FIN, 0x04 RST)
  std::string payload;
};

// False with *error set when the file cannot be opened or is not an Ethernet capture.
bool ReadTcpSegments(const std::string& path, std::vector<TcpSegment>* segments,
                     std::string* error);

// One client-to-server payload.
struct ClientChunk {
  size_t connection = 0;  // index of its connection, in order of first appearance
  size_t frame = 0;
  std::string payload;
};

// The client-to-server payloads of every TCP connection, in capture order. The client of a
// connection is the sender of its SYN; without a SYN in the capture, the sender of the first
// payload holding a connect descriptor; failing that, the sender of its first payload.
std::vector<ClientChunk> ClientToServerPayloads(const std::vector<TcpSegment>& segments);

// Dotted decimal text of an address as held above.
std::string IpText(uint32_t ip);

// Directory of the recorded sessions: $QX_CAPTURES_DIR, else tests/data/captures of the source
// tree.
std::string CapturesDirectory();

}  // namespace qx::testsupport
