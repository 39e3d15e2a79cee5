// The frame records the sniffer hands to its events, and a bounded reader for TCP frames.
//
// A captured frame is read as an Ethernet frame carrying IPv4: the records below give the
// fixed offsets of its fields when the IP header has no options. Every field is a byte array
// in network order (most significant byte first), so the records have no padding and no
// alignment needs, and Get16/Get32 turn a field into a number.
//
// Bounds: only header->caplen bytes of a frame are present, which may be fewer than a record
// spans (short frames, small snapshot lengths). Code holding a record pointer must not read
// a field that ends beyond caplen; FrameHas says whether one does. ParseTcpFrame does all the
// checking and is the safe way to get at a TCP frame's addresses, ports and payload.
//
// Threading: all functions are pure. Records point into the library's buffer and are valid
// only during the event call that receives them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sniffer/pcap_binding.h"

namespace qx::sniffer {

struct TIPPckt {
  uint8_t DestMAC[6];
  uint8_t SrcMAC[6];
  uint8_t EtherType[2];     // 0x0800 for IPv4
  uint8_t VersionLength;    // version (high 4 bits), header length in 32-bit words (low 4)
  uint8_t TypeOfService;
  uint8_t TotalLength[2];   // IP header + IP payload
  uint8_t Identification[2];
  uint8_t FlagsOffset[2];
  uint8_t TimeToLive;
  uint8_t Protocol;         // 6 TCP, 17 UDP
  uint8_t Checksum[2];
  uint8_t SrcIP[4];
  uint8_t DestIP[4];
};

struct TTCPPckt {
  TIPPckt IP;
  uint8_t SrcPort[2];
  uint8_t DestPort[2];
  uint8_t Sequence[4];
  uint8_t Acknowledgement[4];
  uint8_t DataOffset;       // TCP header length in 32-bit words (high 4 bits)
  uint8_t Flags;
  uint8_t Window[2];
  uint8_t TCPChecksum[2];
  uint8_t UrgentPointer[2];
};

struct TUDPPckt {
  TIPPckt IP;
  uint8_t SrcPort[2];
  uint8_t DestPort[2];
  uint8_t Length[2];
  uint8_t UDPChecksum[2];
};

static_assert(sizeof(TIPPckt) == 34 && sizeof(TTCPPckt) == 54 && sizeof(TUDPPckt) == 42,
              "frame records must match the wire layout");

using PIPPckt = const TIPPckt*;
using PTCPPckt = const TTCPPckt*;
using PUDPPckt = const TUDPPckt*;

// TCP flag bits of TTCPPckt::Flags.
constexpr uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpRst = 0x04, kTcpPsh = 0x08,
                  kTcpAck = 0x10;

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t Get32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// True when the first `bytes` bytes of the frame were captured.
inline bool FrameHas(PTpcap_pkthdr header, size_t bytes) {
  return header && header->caplen >= bytes;
}

// One TCP segment of an Ethernet/IPv4 frame, every number already in host order. Addresses
// are address numbers (IPToStr formats them).
struct TcpSegment {
  uint32_t source_address = 0;
  uint32_t destination_address = 0;
  uint16_t source_port = 0;
  uint16_t destination_port = 0;
  uint32_t sequence = 0;
  uint32_t acknowledgement = 0;
  uint8_t flags = 0;
  const uint8_t* payload = nullptr;  // points into the frame; valid as long as the frame
  size_t payload_length = 0;         // payload bytes present in the capture
  size_t payload_wire_length = 0;    // payload bytes the IP total length announces
};

// Reads a TCP segment out of a captured frame, honouring the IP and TCP header lengths and
// the IP total length (so an Ethernet trailer never counts as payload). False, with *out
// untouched, for anything else: not IPv4 over Ethernet, not TCP, a fragment other than the
// first, malformed header lengths, or headers cut off by the capture length.
bool ParseTcpFrame(PTpcap_pkthdr header, const uint8_t* frame, TcpSegment* out);

}  // namespace qx::sniffer
