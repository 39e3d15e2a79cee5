// Reads recorded captures (pcap or pcapng) with libpcap and hands the tests their TCP segments,
// and the client-to-server payloads of each TCP connection in capture order. Frames are taken
// apart by the product's one frame decoder (sniffer/packet.h), whose own tests check it
// against hand-built frames; so every link type it knows is read, IPv4 and IPv6.
//
// Frame rules: frames that are not TCP are skipped, and so are frames cut short by the
// capture's snapshot length. The payload length comes from the IP header, never from the
// captured length, so an Ethernet FCS trailer or padding does not leak into the payload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sniffer/packet.h"

namespace qx::testsupport {

struct TcpSegment {
  size_t frame = 0;  // 1-based frame number in the file
  sniffer::IpAddress src, dst;
  uint32_t srcIp = 0, dstIp = 0;  // IPv4: first octet most significant; 0 for IPv6
  uint16_t srcPort = 0, dstPort = 0;
  uint32_t seq = 0;
  uint8_t flags = 0;  // TCP flag byte (0x02 SYN, 0x10 ACK, 0x01 FIN, 0x04 RST)
  std::string payload;
};

// False with *error set when the file cannot be opened or its link type is unknown.
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
