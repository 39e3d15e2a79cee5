// Generated Oracle Net sessions for load and edge-case tests: CONNECT with a chosen
// descriptor, the listener's ACCEPT, a two-phase login carrying the chosen Oracle user before
// AUTH_TERMINAL, M statements each answered by a small DATA packet, the end packet, and an
// orderly close. Pure functions; the result is a Script for the replay engine.
#pragma once

#include <string>
#include <vector>

#include "script.h"
#include "tns.h"

namespace qxpeer {

enum class SessionEnd {
  kEndPacket,    // the client sends the end packet, then both close in order
  kClientReset,  // after the last answer the client resets the connection
  kServerReset,  // after its last answer the server resets the connection
};

struct GenerateOptions {
  DescriptorFields descriptor;
  std::string orauser = "SCOTT";
  std::string terminal = "pts/1";
  Framing framing = Framing::kOld;
  int statements = 10;
  std::vector<std::string> texts;  // cycled through; empty: "SELECT <n> FROM DUAL"
  size_t reply_size = 100;         // bytes of each statement's answer packet
  int think_ms = 0;                // the client's pause before each statement and the end packet
  SessionEnd end = SessionEnd::kEndPacket;
};

// The text of statement `index` (0-based) under `options`.
std::string StatementText(const GenerateOptions& options, int index);

Script GenerateSession(const GenerateOptions& options);

}  // namespace qxpeer
