// Reads recorded Oracle Net traffic from a pcap or pcapng file and turns each TCP connection
// into a replayable Script. Frames of every link type the frame decoder knows are read
// (sniffer/packet.h: Ethernet, Linux cooked v1/v2 from `tcpdump -i any`, BSD loopback, raw IP;
// IPv4 and IPv6). It copes with what real captures hold: 802.1Q/QinQ tags, Ethernet
// frame check sequences (payload lengths come from the IP header), duplicated and
// retransmitted segments (resolved by TCP sequence numbers), segments out of order, and
// captures that start late or stop early.
//
// Not thread-aware: call from one thread; the result is plain data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "script.h"

namespace qxpeer {

struct CaptureSession {
  int number = 0;              // 1-based, in order of the connection's first packet
  std::string client, server;  // "address:port"
  uint16_t server_port = 0;
  bool on_oracle_port = false;
  uint64_t client_bytes = 0, server_bytes = 0;
  std::string problem;         // why the session cannot be replayed; "" when it can
  Script script;               // closing handshake already added
};

struct Capture {
  uint16_t oracle_port = 0;    // destination port of the first CONNECT packet; 0 if none
  std::vector<CaptureSession> sessions;
  std::vector<std::string> warnings;
};

// False with *error set when the file cannot be read at all.
bool ReadCapture(const std::string& path, Capture* out, std::string* error);

// The session replayed when none is chosen: the first connection to the Oracle port that
// carries data (or the first with data at all). Null when there is none.
const CaptureSession* DefaultSession(const Capture& capture);

}  // namespace qxpeer
