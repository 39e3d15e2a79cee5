// Test helpers for running the Oracle Net test peer (build/qxpeer) and plain relays as
// separate processes on loopback: free ports, the peer in the foreground or background, and
// socat as a reference relay. Each object owns the process it started and ends it (by its
// own process id) when destroyed. Use from one test thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "support/test_util.h"

namespace qx::testing {

using qx::test::FreePort;
// True when a socket listens on 127.0.0.1:port.
bool Listening(uint16_t port);
// "127.0.0.1:PORT".
std::string Loopback(uint16_t port);
// Path of the built peer.
std::string PeerPath();
// Directory of the recorded sessions, ending in '/': $QX_CAPTURES_DIR, or tests/data/captures
// of the source tree.
std::string CapturesDir();

struct PeerOutcome {
  int status = -1;     // the exit status; -1 when it did not exit normally
  std::string output;  // stdout and stderr together
};

// Runs `qxpeer ARGS` to its end (killed after 120 s).
PeerOutcome RunPeer(const std::string& args);

// Runs `qxpeer ARGS` in the background, e.g. while a test tears a relay down under it.
class PeerProcess {
 public:
  explicit PeerProcess(const std::string& args);
  ~PeerProcess();  // kills the process if still running
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  bool started() const { return pid_ > 0; }
  // Waits up to timeout_ms for the end; status -1 (and the process killed) on time-out.
  PeerOutcome Wait(int timeout_ms);

 private:
  pid_t pid_ = -1;
  std::string output_path_;
};

// socat relaying 127.0.0.1:port() to 127.0.0.1:target, a connection at a time in forked
// children, for the life of the object.
class Socat {
 public:
  explicit Socat(uint16_t target);
  ~Socat();
  Socat(const Socat&) = delete;
  Socat& operator=(const Socat&) = delete;
  bool running() const { return pid_ > 0; }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_;
  pid_t pid_ = -1;
};

}  // namespace qx::testing
