// Bounded reading of captured TCP frames (frames.h), by the one frame decoder (packet.h).
#include "sniffer/frames.h"

#include "sniffer/packet.h"

namespace qx::sniffer {

bool ParseTcpFrame(PTpcap_pkthdr header, const uint8_t* frame, TcpSegment* out) {
  if (!header || !frame || !out) return false;
  TcpPacket packet;
  if (!DecodeTcpPacket(kLinkEthernet, frame, header->caplen, &packet)) return false;
  // This reader's records describe untagged Ethernet/IPv4 frames only.
  if (packet.vlan_tags != 0 || packet.source.family != 4) return false;
  out->source_address = packet.source.V4Number();
  out->destination_address = packet.destination.V4Number();
  out->source_port = packet.source_port;
  out->destination_port = packet.destination_port;
  out->sequence = packet.sequence;
  out->acknowledgement = packet.acknowledgement;
  out->flags = packet.flag_bits;
  out->payload = packet.payload;
  out->payload_length = packet.payload_length;
  out->payload_wire_length = packet.payload_wire_length;
  return true;
}

}  // namespace qx::sniffer
