// Passive monitoring: client connections to an Oracle listener rebuilt from the TCP frames a
// sniffer captures, without being in their path. A connect packet opens a record per client
// address and port; the client's frames then go through the same chunk processing as relayed
// ones, the server's frames through the same response accounting; the client's ten-byte end
// packet or a long silence closes the record.
//
// Threading and ownership:
// - PassiveSegment, PassivePacket and PassiveTaggedFrame run on the capture thread of the
//   sniffer that delivered the frame; one interface's frames are handled one after the other.
// - A passive service's records live in its passiveConnections list and are owned by it. The
//   capture thread holds the service's passiveMu while it handles a frame for that service
//   (so every change of the list or of a record in it happens under the lock); status
//   requests take the same lock to read them. Functions below marked "passiveMu held" expect
//   the caller to hold it.
// - `services` is read without a lock: it does not change while a capture runs.
// - Errors: nothing escapes PassivePacket. An error while one service handles a frame is
//   reported in both logs and that service drops the frame; the capture goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/thread_data.h"
#include "service/service.h"
#include "sniffer/sniffer.h"

namespace qx::capture {

// Bytes of a frame at which the payload is cut off, whatever the capture holds.
inline constexpr size_t kPassivePayloadLimit = 8193;
// Snapshot length of a passive capture: whole frames (loopback frames reach 65549 bytes).
inline constexpr int kPassiveCaptureLength = 262144;

// The TCP payload of an Ethernet/IPv4 frame of which `captured` bytes exist, one character per
// byte: from the end of the TCP header to the end of the IP datagram, but never past the
// captured bytes or byte 8193 of the frame. Empty when the headers are not all captured or
// their lengths are impossible, and when the IP total length ends inside the headers. A total
// length of 0 (left so by segmentation offload) stands for "up to the captured end".
std::string TcpPayloadText(const uint8_t* frame, size_t captured);

// The sniffer's segment handler: a TCP segment decoded from a frame of any link type, IPv4
// or IPv6 (sniffer/packet.h). `ms`: the frame's capture time in ms (server times are
// measured on it); -1 for now.
void PassiveSegment(service::TQuorvexService& svc, sniffer::TSniffer* sender,
                    const sniffer::TcpPacket& packet, int64_t ms = -1);
// An untagged Ethernet frame of which `header->caplen` bytes of `data` exist. Frames that
// are not Ethernet/IP/TCP, later fragments, and frames whose headers are not all captured are
// ignored.
void PassivePacket(service::TQuorvexService& svc, sniffer::TSniffer* sender,
                   sniffer::PTpcap_pkthdr header, sniffer::PTCPPckt data);
// The same on plain bytes.
// `ms`: the frame's capture time in ms (server times are measured on it); -1 for now.
void PassiveFrame(service::TQuorvexService& svc, sniffer::TSniffer* sender,
                  const uint8_t* frame, size_t captured, int64_t ms = -1);
// A frame with 802.1Q / 802.1ad / QinQ tags is handled as the frame inside them (the
// untagged handlers above leave it alone); others are left alone.
void PassiveTaggedFrame(service::TQuorvexService& svc, sniffer::TSniffer* sender,
                        sniffer::PTpcap_pkthdr header, const uint8_t* frame);

// Points the sniffer's segment event at PassiveSegment (takes effect at its next start).
void AttachPassiveHandlers(service::TQuorvexService& svc, sniffer::TSniffer& sniffer);

// passiveMu held. The service's record of the client at key's address and port, or null.
TThreadData* FindPassiveConnection(service::TServiceData& service, const PassiveKey& key);

// passiveMu held. Closes and removes every record whose client has been silent for the
// dead-connection timeout (minutes) at the local date-time `now`.
void SweepDeadConnections(service::TQuorvexService& svc, service::TServiceData& service,
                          double now);
void SweepDeadConnections(service::TQuorvexService& svc, service::TServiceData& service);

// Teardown, after the service's capture has stopped: stores the current statement of every
// open record with elapsed time 0, writes its queue and trace, and releases it. Takes
// passiveMu itself.
void FlushPassiveConnections(service::TQuorvexService& svc, service::TServiceData& service);

}  // namespace qx::capture
