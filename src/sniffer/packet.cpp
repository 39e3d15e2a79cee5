// Frame decoding for every capture link type (packet.h).
#include "sniffer/packet.h"

#include <algorithm>
#include <cstring>

namespace qx::sniffer {
namespace {

constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherIpv6 = 0x86dd;
constexpr int kMaxVlanTags = 4;
constexpr int kMaxExtensionHeaders = 8;
constexpr uint8_t kProtocolTcp = 6;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

bool IsVlanType(uint16_t type) { return type == 0x8100 || type == 0x88a8 || type == 0x9100; }

int VersionOfEtherType(uint16_t type) {
  return type == kEtherIpv4 ? 4 : type == kEtherIpv6 ? 6 : 0;
}

// Steps over VLAN tags starting with the EtherType `type` found just before `*at`; leaves
// the EtherType of the payload in *type. False when a tag is cut off.
bool SkipTags(const uint8_t* f, size_t captured, size_t* at, uint16_t* type, int* tags) {
  while (IsVlanType(*type)) {
    if (*tags >= kMaxVlanTags || captured < *at + 4) return false;
    *type = Be16(f + *at + 2);
    *at += 4;
    ++*tags;
  }
  return true;
}

// The BSD loopback header's address family, in either byte order, as an IP version.
int VersionOfFamily(const uint8_t* p) {
  const uint32_t big = Be32(p);
  const uint32_t little = (static_cast<uint32_t>(p[3]) << 24) |
                          (static_cast<uint32_t>(p[2]) << 16) |
                          (static_cast<uint32_t>(p[1]) << 8) | p[0];
  for (uint32_t family : {big, little}) {
    if (family == 2) return 4;
    // AF_INET6 of NetBSD/OpenBSD, FreeBSD, macOS, and Linux.
    if (family == 24 || family == 28 || family == 30 || family == 10) return 6;
  }
  return 0;
}

// What the first byte of an IP header says of its version.
int VersionOfIpByte(const uint8_t* f, size_t captured, size_t at) {
  if (captured <= at) return 0;
  const int v = f[at] >> 4;
  return v == 4 || v == 6 ? v : 0;
}

// Reads the TCP header at `tcp`, with the payload ending at `end` (which may lie past the
// captured bytes, or be 0 for "up to the captured end").
bool ReadTcp(const uint8_t* f, size_t captured, size_t tcp, size_t end, bool zero_length,
             TcpPacket* out) {
  if (captured < tcp + 20) return false;
  const size_t tcp_header = static_cast<size_t>(f[tcp + 12] >> 4) * 4;
  if (tcp_header < 20 || captured < tcp + tcp_header) return false;
  const size_t start = tcp + tcp_header;
  if (zero_length) end = captured;
  if (end < start) return false;
  out->source_port = Be16(f + tcp);
  out->destination_port = Be16(f + tcp + 2);
  out->sequence = Be32(f + tcp + 4);
  out->acknowledgement = Be32(f + tcp + 8);
  out->flag_bits = f[tcp + 13];
  out->flags = TcpFlags::FromByte(out->flag_bits);
  out->payload_offset = start;
  out->payload = f + start;
  out->payload_wire_length = end - start;
  out->payload_length = std::min(end, captured) - start;
  return true;
}

bool DecodeIpv4(const uint8_t* f, size_t captured, size_t ip, TcpPacket* out) {
  if (captured < ip + 20 || (f[ip] >> 4) != 4) return false;
  const size_t ip_header = static_cast<size_t>(f[ip] & 0x0f) * 4;
  if (ip_header < 20 || f[ip + 9] != kProtocolTcp) return false;
  const uint16_t fragment = Be16(f + ip + 6);
  if ((fragment & 0x1fff) != 0) return false;  // a later fragment: no TCP header in it
  const size_t total = Be16(f + ip + 2);
  if (total != 0 && total < ip_header + 20) return false;
  out->source = IpAddress::V4(Be32(f + ip + 12));
  out->destination = IpAddress::V4(Be32(f + ip + 16));
  out->first_fragment = (fragment & 0x2000) != 0;
  return ReadTcp(f, captured, ip + ip_header, ip + total, total == 0, out);
}

bool DecodeIpv6(const uint8_t* f, size_t captured, size_t ip, TcpPacket* out) {
  if (captured < ip + 40 || (f[ip] >> 4) != 6) return false;
  const size_t payload_length = Be16(f + ip + 4);
  uint8_t next = f[ip + 6];
  size_t at = ip + 40;
  out->first_fragment = false;
  for (int headers = 0; next != kProtocolTcp; ++headers) {
    if (headers >= kMaxExtensionHeaders || captured < at + 8) return false;
    if (next == 0 || next == 43 || next == 60) {  // hop-by-hop, routing, destination options
      next = f[at];
      at += (static_cast<size_t>(f[at + 1]) + 1) * 8;
    } else if (next == 44) {  // fragment
      if ((Be16(f + at + 2) & 0xfff8) != 0) return false;
      out->first_fragment = (f[at + 3] & 0x01) != 0;
      next = f[at];
      at += 8;
    } else {
      return false;
    }
  }
  const size_t end = ip + 40 + payload_length;
  if (payload_length != 0 && end < at) return false;
  out->source = IpAddress::V6(f + ip + 8);
  out->destination = IpAddress::V6(f + ip + 24);
  return ReadTcp(f, captured, at, end, payload_length == 0, out);
}

}  // namespace

bool KnownLinkType(int link_type) {
  switch (link_type) {
    case kLinkNull: case kLinkEthernet: case kLinkRaw: case kLinkRawOpenBsd:
    case kLinkRawFile: case kLinkLoop: case kLinkLinuxSll: case kLinkIpv4: case kLinkIpv6:
    case kLinkLinuxSll2:
      return true;
    default:
      return false;
  }
}

IpAddress IpAddress::V4(uint32_t number) {
  IpAddress a;
  a.family = 4;
  a.bytes[0] = static_cast<uint8_t>(number >> 24);
  a.bytes[1] = static_cast<uint8_t>(number >> 16);
  a.bytes[2] = static_cast<uint8_t>(number >> 8);
  a.bytes[3] = static_cast<uint8_t>(number);
  return a;
}

IpAddress IpAddress::V6(const uint8_t bytes16[16]) {
  IpAddress a;
  a.family = 6;
  std::memcpy(a.bytes.data(), bytes16, 16);
  return a;
}

uint32_t IpAddress::V4Number() const { return family == 4 ? Be32(bytes.data()) : 0; }

std::string IpAddress::Text() const {
  // Written into one buffer: this runs twice for every captured frame.
  const auto dotted = [](const uint8_t* p) {
    char text[16];
    size_t n = 0;
    for (int i = 0; i < 4; ++i) {
      if (i) text[n++] = '.';
      const unsigned v = p[i];
      if (v >= 100) text[n++] = static_cast<char>('0' + v / 100);
      if (v >= 10) text[n++] = static_cast<char>('0' + v / 10 % 10);
      text[n++] = static_cast<char>('0' + v % 10);
    }
    return std::string(text, n);
  };
  if (family == 4) return dotted(bytes.data());
  if (family != 6) return std::string();
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = Be16(bytes.data() + 2 * i);
  const bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
                      groups[4] == 0 && groups[5] == 0xffff;
  if (mapped) return "::ffff:" + dotted(bytes.data() + 12);
  // The longest run of two or more zero groups (the first of equals) becomes "::".
  int best = -1, best_length = 1;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      text += "::";
      i += best_length - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    bool digits = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const int nibble = (groups[i] >> shift) & 0x0f;
      if (nibble != 0 || digits || shift == 0) {
        text += kHex[nibble];
        digits = true;
      }
    }
  }
  return text;
}

bool FindNetworkLayer(int link_type, const uint8_t* f, size_t captured, size_t* offset,
                      int* version, int* vlan_tags) {
  if (!f) return false;
  size_t at = 0;
  int v = 0;
  int tags = 0;
  switch (link_type) {
    case kLinkEthernet: {
      if (captured < 14) return false;
      uint16_t type = Be16(f + 12);
      at = 14;
      if (!SkipTags(f, captured, &at, &type, &tags)) return false;
      v = VersionOfEtherType(type);
      break;
    }
    case kLinkLinuxSll:
    case kLinkLinuxSll2: {
      // v1: packet type, link type, address length, 8 address bytes, protocol (16 bytes);
      // v2: protocol first, then reserved, interface index, link type, packet type,
      // address length and 8 address bytes (20 bytes).
      const bool v1 = link_type == kLinkLinuxSll;
      at = v1 ? 16 : 20;
      if (captured < at) return false;
      uint16_t type = Be16(f + (v1 ? 14 : 0));
      if (!SkipTags(f, captured, &at, &type, &tags)) return false;
      v = VersionOfEtherType(type);
      break;
    }
    case kLinkNull:
    case kLinkLoop:
      if (captured < 4) return false;
      at = 4;
      v = VersionOfFamily(f);
      break;
    case kLinkRaw:
    case kLinkRawOpenBsd:
    case kLinkRawFile:
      v = VersionOfIpByte(f, captured, 0);
      break;
    case kLinkIpv4:
      v = 4;
      break;
    case kLinkIpv6:
      v = 6;
      break;
    default:
      return false;
  }
  if (v == 0) return false;
  *offset = at;
  *version = v;
  *vlan_tags = tags;
  return true;
}

bool DecodeTcpPacket(int link_type, const uint8_t* frame, size_t captured, TcpPacket* out) {
  if (!frame || !out) return false;
  size_t ip = 0;
  int version = 0;
  int tags = 0;
  if (!FindNetworkLayer(link_type, frame, captured, &ip, &version, &tags)) return false;
  out->network_offset = ip;
  out->vlan_tags = tags;
  return version == 4 ? DecodeIpv4(frame, captured, ip, out)
                      : DecodeIpv6(frame, captured, ip, out);
}

}  // namespace qx::sniffer
