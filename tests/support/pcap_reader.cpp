// libpcap-based reader of recorded captures for tests.
#include "support/pcap_reader.h"

#include <pcap/pcap.h>

#include <cstdlib>
#include <map>
#include <tuple>

namespace qx::testsupport {
namespace {

uint16_t Be16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Parses one Ethernet frame; false when it is not an IPv4 TCP frame or is cut short.
bool ParseFrame(const unsigned char* data, size_t length, TcpSegment* out) {
  size_t offset = 12;
  if (length < offset + 2) return false;
  uint16_t type = Be16(data + offset);
  while (type == 0x8100 || type == 0x88a8) {  // VLAN tags, possibly stacked
    offset += 4;
    if (length < offset + 2) return false;
    type = Be16(data + offset);
  }
  offset += 2;
  if (type != 0x0800 || length < offset + 20) return false;
  const unsigned char* ip = data + offset;
  if ((ip[0] >> 4) != 4 || ip[9] != 6) return false;
  const size_t ipHeader = static_cast<size_t>(ip[0] & 0x0f) * 4;
  const size_t total = Be16(ip + 2);
  if (ipHeader < 20 || total < ipHeader + 20 || length < offset + total) return false;
  const unsigned char* tcp = ip + ipHeader;
  const size_t tcpHeader = static_cast<size_t>(tcp[12] >> 4) * 4;
  if (tcpHeader < 20 || total < ipHeader + tcpHeader) return false;
  out->srcIp = Be32(ip + 12);
  out->dstIp = Be32(ip + 16);
  out->srcPort = Be16(tcp);
  out->dstPort = Be16(tcp + 2);
  out->seq = Be32(tcp + 4);
  out->flags = tcp[13];
  const unsigned char* payload = tcp + tcpHeader;
  out->payload.assign(reinterpret_cast<const char*>(payload), total - ipHeader - tcpHeader);
  return true;
}

using Endpoint = std::pair<uint32_t, uint16_t>;
using ConnectionKey = std::pair<Endpoint, Endpoint>;  // lower endpoint first

ConnectionKey KeyOf(const TcpSegment& s) {
  Endpoint a{s.srcIp, s.srcPort}, b{s.dstIp, s.dstPort};
  return a < b ? ConnectionKey{a, b} : ConnectionKey{b, a};
}

bool HoldsDescriptor(const std::string& payload) {
  std::string upper = payload;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper.find("DESCRIPTION") != std::string::npos &&
         upper.find("CONNECT_DATA") != std::string::npos;
}

}  // namespace

bool ReadTcpSegments(const std::string& path, std::vector<TcpSegment>* segments,
                     std::string* error) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* handle = pcap_open_offline(path.c_str(), errbuf);
  if (handle == nullptr) {
    *error = errbuf;
    return false;
  }
  if (pcap_datalink(handle) != DLT_EN10MB) {
    *error = path + " is not an Ethernet capture";
    pcap_close(handle);
    return false;
  }
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  size_t frame = 0;
  int rc = 0;
  while ((rc = pcap_next_ex(handle, &header, &data)) == 1) {
    ++frame;
    TcpSegment segment;
    segment.frame = frame;
    if (ParseFrame(data, header->caplen, &segment)) segments->push_back(std::move(segment));
  }
  if (rc == -1) *error = pcap_geterr(handle);
  pcap_close(handle);
  return rc != -1;
}

std::vector<ClientChunk> ClientToServerPayloads(const std::vector<TcpSegment>& segments) {
  std::map<ConnectionKey, size_t> index;  // connection -> number in order of appearance
  std::map<ConnectionKey, Endpoint> client;
  std::map<ConnectionKey, Endpoint> firstSender;
  for (const TcpSegment& s : segments) {
    const ConnectionKey key = KeyOf(s);
    index.try_emplace(key, index.size());
    const Endpoint src{s.srcIp, s.srcPort};
    if ((s.flags & 0x12) == 0x02) client[key] = src;  // SYN without ACK
    if (!s.payload.empty()) firstSender.try_emplace(key, src);
  }
  for (const TcpSegment& s : segments) {
    const ConnectionKey key = KeyOf(s);
    if (!client.count(key) && HoldsDescriptor(s.payload)) client[key] = {s.srcIp, s.srcPort};
  }
  for (const auto& [key, sender] : firstSender) client.try_emplace(key, sender);

  std::vector<ClientChunk> chunks;
  for (const TcpSegment& s : segments) {
    if (s.payload.empty()) continue;
    const ConnectionKey key = KeyOf(s);
    if (client[key] != Endpoint{s.srcIp, s.srcPort}) continue;
    chunks.push_back(ClientChunk{index[key], s.frame, s.payload});
  }
  return chunks;
}

std::string IpText(uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 0xff) + "." +
         std::to_string(ip >> 8 & 0xff) + "." + std::to_string(ip & 0xff);
}

std::string CapturesDirectory() {
  if (const char* dir = std::getenv("QX_CAPTURES_DIR"); dir != nullptr && *dir != '\0') return dir;
  return std::string(QX_SOURCE_DIR) + "/tests/data/captures";
}

}  // namespace qx::testsupport
