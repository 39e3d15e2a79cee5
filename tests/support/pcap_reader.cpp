// libpcap-based reader of recorded captures for tests.
#include "support/pcap_reader.h"

#include <pcap/pcap.h>

#include <cstdlib>
#include <map>
#include <tuple>

namespace qx::testsupport {
namespace {

// One frame of a capture of `link_type`; false when it holds no whole TCP segment.
bool ParseFrame(int link_type, const unsigned char* data, size_t length, TcpSegment* out) {
  sniffer::TcpPacket packet;
  if (!sniffer::DecodeTcpPacket(link_type, data, length, &packet)) return false;
  if (packet.payload_length != packet.payload_wire_length) return false;
  out->src = packet.source;
  out->dst = packet.destination;
  out->srcIp = packet.source.V4Number();
  out->dstIp = packet.destination.V4Number();
  out->srcPort = packet.source_port;
  out->dstPort = packet.destination_port;
  out->seq = packet.sequence;
  out->flags = packet.flag_bits;
  out->payload.assign(reinterpret_cast<const char*>(packet.payload), packet.payload_length);
  return true;
}

using Endpoint = std::pair<sniffer::IpAddress, uint16_t>;
using ConnectionKey = std::pair<Endpoint, Endpoint>;  // lower endpoint first

ConnectionKey KeyOf(const TcpSegment& s) {
  Endpoint a{s.src, s.srcPort}, b{s.dst, s.dstPort};
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
  const int link_type = pcap_datalink(handle);
  if (!sniffer::KnownLinkType(link_type)) {
    *error = path + " has link type " + std::to_string(link_type) + ", which is not read";
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
    if (ParseFrame(link_type, data, header->caplen, &segment)) segments->push_back(std::move(segment));
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
    const Endpoint src{s.src, s.srcPort};
    if ((s.flags & 0x12) == 0x02) client[key] = src;  // SYN without ACK
    if (!s.payload.empty()) firstSender.try_emplace(key, src);
  }
  for (const TcpSegment& s : segments) {
    const ConnectionKey key = KeyOf(s);
    if (!client.count(key) && HoldsDescriptor(s.payload)) client[key] = {s.src, s.srcPort};
  }
  for (const auto& [key, sender] : firstSender) client.try_emplace(key, sender);

  std::vector<ClientChunk> chunks;
  for (const TcpSegment& s : segments) {
    if (s.payload.empty()) continue;
    const ConnectionKey key = KeyOf(s);
    if (client[key] != Endpoint{s.src, s.srcPort}) continue;
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
