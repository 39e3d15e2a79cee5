// Oracle Net packets and Ethernet frames for passive-mode tests (oracle_frames.h).
#include "support/oracle_frames.h"

#include <arpa/inet.h>

#include <cstring>

namespace qx::testsupport {
namespace {

void Put16(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>((v >> 8) & 0xff);
  s[at + 1] = static_cast<char>(v & 0xff);
}

void Put16(std::vector<uint8_t>& s, size_t at, uint32_t v) {
  s[at] = static_cast<uint8_t>((v >> 8) & 0xff);
  s[at + 1] = static_cast<uint8_t>(v & 0xff);
}

// Header of a packet of `type` with `length` bytes in all.
std::string Header(size_t length, uint8_t type, bool four_byte) {
  std::string h(8, '\0');
  if (four_byte) {
    h[0] = static_cast<char>((length >> 24) & 0xff);
    h[1] = static_cast<char>((length >> 16) & 0xff);
    h[2] = static_cast<char>((length >> 8) & 0xff);
    h[3] = static_cast<char>(length & 0xff);
    h[5] = 0x20;
  } else {
    Put16(h, 0, static_cast<uint32_t>(length));
  }
  h[4] = static_cast<char>(type);
  return h;
}

}  // namespace

std::string TnsConnect(const std::string& program, const std::string& host,
                       const std::string& user, const std::string& service_name,
                       bool lower_case_protocol) {
  const std::string descriptor =
      "(DESCRIPTION=(CONNECT_DATA=(SERVICE_NAME=" + service_name + ")(CID=(PROGRAM=" + program +
      ")(HOST=" + host + ")(USER=" + user + ")))(ADDRESS=(PROTOCOL=" +
      (lower_case_protocol ? "tcp" : "TCP") + ")(HOST=127.0.0.1)(PORT=1521)))";
  std::string body(50, '\0');  // version, options, SDU, TDU ... up to offset 58
  Put16(body, 0, 314);        // version
  Put16(body, 2, 300);        // lowest version
  Put16(body, 16, static_cast<uint32_t>(descriptor.size()));  // connect data length
  Put16(body, 18, 58);                                        // connect data offset
  std::string packet = Header(8 + body.size() + descriptor.size(), 1, false) + body + descriptor;
  return packet;
}

std::string TnsData(const std::string& body, bool four_byte) {
  return Header(10 + body.size(), 6, four_byte) + std::string(2, '\0') + body;
}

std::string TnsAuth(const std::string& user, bool four_byte) {
  std::string body = "\x03\x76\x02";
  body += static_cast<char>(user.size());
  body += user;
  body += "\x01\x0d";
  body += "AUTH_TERMINAL";
  body += "\x01\x07pts/0\x00";
  return TnsData(body, four_byte);
}

std::string TnsStatement(const std::string& sql, bool four_byte) {
  std::string body = "\x03\x5e\x10\x21\x80\x00";
  body += static_cast<char>(sql.size() < 255 ? sql.size() : 254);
  body += sql;
  body += std::string("\x01\x00\x00\x00", 4);
  return TnsData(body, four_byte);
}

std::string TnsEnd(bool four_byte) {
  return four_byte ? std::string("\x00\x00\x00\x0a\x06\x20\x00\x00\x00\x40", 10)
                   : std::string("\x00\x0a\x00\x00\x06\x00\x00\x00\x00\x40", 10);
}

std::vector<uint8_t> TcpFrame(const std::string& src, uint16_t sport, const std::string& dst,
                              uint16_t dport, const std::string& payload,
                              const FrameOptions& options) {
  const size_t ip_header = 20 + 4 * static_cast<size_t>(options.ip_options);
  const size_t tcp_header = 20 + 4 * static_cast<size_t>(options.tcp_options);
  const size_t link = 14 + 4 * static_cast<size_t>(options.vlan_tags);
  std::vector<uint8_t> f(link + ip_header + tcp_header + payload.size() + options.trailer, 0);
  for (int i = 0; i < 12; ++i) f[i] = static_cast<uint8_t>(0x02 + i);
  size_t at = 12;
  for (int t = 0; t < options.vlan_tags; ++t) {
    Put16(f, at, t == 0 && options.vlan_tags > 1 ? 0x88a8 : 0x8100);
    Put16(f, at + 2, 100 + t);
    at += 4;
  }
  Put16(f, at, 0x0800);
  uint8_t* ip = f.data() + link;
  ip[0] = static_cast<uint8_t>(0x40 | (ip_header / 4));
  const long total = static_cast<long>(ip_header + tcp_header + payload.size()) +
                     options.total_length_delta;
  Put16(f, link + 2, static_cast<uint32_t>(total < 0 ? 0 : total));
  ip[8] = 64;
  ip[9] = 6;
  for (size_t i = 20; i < ip_header; ++i) ip[i] = 1;
  in_addr a{};
  inet_pton(AF_INET, src.c_str(), &a);
  std::memcpy(ip + 12, &a, 4);
  inet_pton(AF_INET, dst.c_str(), &a);
  std::memcpy(ip + 16, &a, 4);
  const size_t tcp = link + ip_header;
  Put16(f, tcp, sport);
  Put16(f, tcp + 2, dport);
  f[tcp + 12] = static_cast<uint8_t>((tcp_header / 4) << 4);
  f[tcp + 13] = options.tcp_flags;
  Put16(f, tcp + 14, 65535);
  for (size_t i = 20; i < tcp_header; ++i) f[tcp + i] = 1;
  std::memcpy(f.data() + tcp + tcp_header, payload.data(), payload.size());
  return f;
}

}  // namespace qx::testsupport
