// Builders for the Oracle Net traffic that tests feed to the service: the client's packets
// (CONNECT with a descriptor, authentication, statements, the end packet) and the server's
// ACCEPT and answers, in the 2-byte and the 4-byte length framing, and the Ethernet/IPv4/TCP
// frames that carry them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::testsupport {

// The packets are those of the test peer's generated sessions (tools/qxpeer/tns.h), shaped
// like an OCI 11g client's. `four_byte`: the session uses the 4-byte length framing that an
// ACCEPT of version 315 or later switches to (the CONNECT asks for it by its version).

// A CONNECT packet for a service at host:port.
std::string TnsConnect(const std::string& program, const std::string& host,
                       const std::string& user, const std::string& service_name,
                       bool lower_case_protocol = false, bool four_byte = false);
// The listener's ACCEPT for a client's CONNECT packet: of version 317 (new framing) when the
// CONNECT asks for 315 or later, else 312.
std::string TnsAcceptFor(const std::string& connect);
// A DATA packet around `body` (a TTC message).
std::string TnsData(const std::string& body, bool four_byte);
// Authentication phase one naming the Oracle user.
std::string TnsAuth(const std::string& user, bool four_byte);
// A statement call (OALL8) carrying the text.
std::string TnsStatement(const std::string& sql, bool four_byte);
// The server's answer to a call.
std::string TnsReply(bool four_byte);
// The ten-byte end packet.
std::string TnsEnd(bool four_byte);

struct FrameOptions {
  uint8_t tcp_flags = 0x18;  // PSH ACK
  uint32_t seq = 0;          // sequence number of the segment's first byte
  int vlan_tags = 0;
  int ip_options = 0;           // 4-byte words of IP options (NOPs)
  int tcp_options = 0;          // 4-byte words of TCP options (NOPs)
  int total_length_delta = 0;   // added to the correct IP total length
  size_t trailer = 0;           // bytes after the datagram (an Ethernet FCS, say)
};

// An Ethernet frame carrying the TCP segment from src:sport to dst:dport.
std::vector<uint8_t> TcpFrame(const std::string& src, uint16_t sport, const std::string& dst,
                              uint16_t dport, const std::string& payload,
                              const FrameOptions& options = {});

}  // namespace qx::testsupport
