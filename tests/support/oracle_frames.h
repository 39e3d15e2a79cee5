// Builders for the Oracle Net traffic that passive-mode tests feed to the service: the client's
// packets (CONNECT with a descriptor, authentication, statements, the end packet) in the
// 2-byte and the 4-byte length framing, and the Ethernet/IPv4/TCP frames that carry them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::testsupport {

// A CONNECT packet (2-byte length, descriptor at offset 58) for a service at host:port.
std::string TnsConnect(const std::string& program, const std::string& host,
                       const std::string& user, const std::string& service_name,
                       bool lower_case_protocol = false);
// A DATA packet around `body`: 2-byte length and flags 0, or 4-byte length and flags 0x20.
std::string TnsData(const std::string& body, bool four_byte);
// Authentication data naming the Oracle user: "\x05" USER "\x01\x0dAUTH_TERMINAL".
std::string TnsAuth(const std::string& user, bool four_byte);
// A statement call: 03 5e, a few bytes, then the text.
std::string TnsStatement(const std::string& sql, bool four_byte);
// The client's ten-byte end packet.
std::string TnsEnd(bool four_byte);

struct FrameOptions {
  uint8_t tcp_flags = 0x18;  // PSH ACK
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
