// Oracle Net packets and Ethernet frames for passive-mode tests (oracle_frames.h).
#include "support/oracle_frames.h"
#include "support/net_headers.h"

#include "qxpeer/tns.h"

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

qxpeer::Framing FramingOf(bool four_byte) {
  return four_byte ? qxpeer::Framing::kNew : qxpeer::Framing::kOld;
}

}  // namespace

std::string TnsConnect(const std::string& program, const std::string& host,
                       const std::string& user, const std::string& service_name,
                       bool lower_case_protocol, bool four_byte) {
  qxpeer::DescriptorFields f;
  f.program = program;
  f.host = host;
  f.user = user;
  f.service_name = service_name;
  std::string descriptor = qxpeer::BuildDescriptor(f);
  if (lower_case_protocol) {
    const size_t at = descriptor.find("PROTOCOL=TCP");
    descriptor.replace(at, 12, "PROTOCOL=tcp");
  }
  return qxpeer::ConnectPacket(descriptor, FramingOf(four_byte));
}

std::string TnsAcceptFor(const std::string& connect) {
  const bool wide = connect.size() > 9 &&
                    ((static_cast<uint8_t>(connect[8]) << 8) | static_cast<uint8_t>(connect[9])) >= 315;
  return qxpeer::AcceptPacket(FramingOf(wide));
}

std::string TnsData(const std::string& body, bool four_byte) {
  return qxpeer::DataPackets(body, FramingOf(four_byte), false);
}

std::string TnsAuth(const std::string& user, bool four_byte) {
  return TnsData(qxpeer::AuthPhaseOne(user, "pts/0", "sqlplus", "tester", 1), four_byte);
}

std::string TnsStatement(const std::string& sql, bool four_byte) {
  return TnsData(qxpeer::ExecuteCall(sql, 2), four_byte);
}

std::string TnsReply(bool four_byte) { return qxpeer::StatementReply(FramingOf(four_byte), 40, 1); }

std::string TnsEnd(bool four_byte) { return qxpeer::EndPacket(FramingOf(four_byte)); }

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
  for (int i = 0; i < 4; ++i) f[tcp + 4 + i] = static_cast<uint8_t>(options.seq >> (24 - 8 * i));
  f[tcp + 13] = options.tcp_flags;
  Put16(f, tcp + 14, 65535);
  for (size_t i = 20; i < tcp_header; ++i) f[tcp + i] = 1;
  std::memcpy(f.data() + tcp + tcp_header, payload.data(), payload.size());
  return f;
}

}  // namespace qx::testsupport
