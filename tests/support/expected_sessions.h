// What the recorded sessions of tests/data/captures hold, as written down from the wire in
// tests/data/captures/expected/<capture>.txt: per TCP connection, the Oracle user and every
// statement the client executed, in order. The end-to-end tests of both modes compare the
// repository with it.
#pragma once

#include <string>
#include <vector>

namespace qx::testsupport {

struct ExpectedSession {
  std::string client;                   // "ip:port"
  std::string server;                   // "ip:port"
  bool descriptor = false;              // a connect descriptor was sent
  std::string descriptorText;           // the first one, as sent
  std::string orauser;                  // the user of the last logon, upper case; "" when none
  std::vector<std::string> statements;  // executed texts, exactly as sent
};

// The sessions of one capture, in the order of the file; empty when it cannot be read.
std::vector<ExpectedSession> ExpectedSessions(const std::string& capture);

// The captures that have an expected file, sorted by name.
std::vector<std::string> ExpectedCaptures();

}  // namespace qx::testsupport
