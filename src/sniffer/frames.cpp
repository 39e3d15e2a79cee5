// Bounded reading of captured TCP frames (frames.h).
#include "sniffer/frames.h"

#include <algorithm>

namespace qx::sniffer {

bool ParseTcpFrame(PTpcap_pkthdr header, const uint8_t* frame, TcpSegment* out) {
  constexpr size_t kEthernet = 14;
  if (!header || !frame || !out || !FrameHas(header, kEthernet + 20)) return false;
  const size_t captured = header->caplen;
  const auto* ip = reinterpret_cast<const TIPPckt*>(frame);
  if (Get16(ip->EtherType) != 0x0800 || (ip->VersionLength >> 4) != 4) return false;
  if (ip->Protocol != 6) return false;
  // A later fragment carries no TCP header at its start.
  if ((Get16(ip->FlagsOffset) & 0x1fff) != 0) return false;
  const size_t ip_header = static_cast<size_t>(ip->VersionLength & 0x0f) * 4;
  const size_t ip_total = Get16(ip->TotalLength);
  if (ip_header < 20) return false;
  const size_t tcp_start = kEthernet + ip_header;
  if (captured < tcp_start + 20) return false;
  const uint8_t* tcp = frame + tcp_start;
  const size_t tcp_header = static_cast<size_t>(tcp[12] >> 4) * 4;
  if (tcp_header < 20 || captured < tcp_start + tcp_header) return false;
  // Segmentation offload can leave the total length 0 in locally captured frames; the
  // captured bytes are then all there is to go by.
  size_t wire_payload;
  if (ip_total == 0) {
    wire_payload = captured - tcp_start - tcp_header;
  } else {
    if (ip_total < ip_header + tcp_header) return false;
    wire_payload = ip_total - ip_header - tcp_header;
  }
  const size_t payload_start = tcp_start + tcp_header;
  out->source_address = Get32(ip->SrcIP);
  out->destination_address = Get32(ip->DestIP);
  out->source_port = Get16(tcp);
  out->destination_port = Get16(tcp + 2);
  out->sequence = Get32(tcp + 4);
  out->acknowledgement = Get32(tcp + 8);
  out->flags = tcp[13];
  out->payload = frame + payload_start;
  out->payload_length = std::min(wire_payload, captured - payload_start);
  out->payload_wire_length = wire_payload;
  return true;
}

}  // namespace qx::sniffer
