// Test helpers for the Oracle Net decoder: the TCP payloads of each connection of a recorded
// capture in capture order (exact duplicates dropped, such as a frame captured twice on two
// VLANs), and a text rendering of the decoder's events that the tests compare with what was
// read off the wire by hand.
#pragma once

#include <string>
#include <vector>

#include "oranet/decoder.h"

namespace qx::test {

struct Chunk {
  oranet::Direction direction = oranet::Direction::kToServer;
  std::string bytes;
};

struct CaptureConnection {
  std::string client, server;  // "ip:port"
  std::vector<Chunk> chunks;   // both directions, in capture order
};

// The connections of a capture (by first appearance); false with *error when unreadable.
bool CaptureConnections(const std::string& path, std::vector<CaptureConnection>* out,
                        std::string* error);

// Collects events as text lines: descriptor, accept, user, logon, exec, commit, ...
class TraceSink : public oranet::EventSink {
 public:
  explicit TraceSink(bool callEnds = false) : callEnds_(callEnds) {}
  void OnEvent(const oranet::Event& e) override;
  std::vector<std::string> lines;
  std::vector<oranet::Event> executions;  // text views cleared
  std::vector<std::string> executionTexts;
  size_t requests = 0;  // kRequest events

 private:
  bool callEnds_;
};

// Escapes bytes below 0x20, 0x7F and backslash as \xHH / \\.
std::string Escape(std::string_view text);
// Trims bytes 0x00-0x20 at both ends.
std::string_view Trim(std::string_view text);

// Feeds one connection's chunks, each split into pieces of at most `piece` bytes (0: whole),
// and finishes; returns the trace lines.
std::vector<std::string> TraceConnection(const CaptureConnection& c, size_t piece,
                                         oranet::Stats* stats = nullptr,
                                         bool callEnds = false);

}  // namespace qx::test
