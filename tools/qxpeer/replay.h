// The replay engine: plays one side of a Script on a connected socket, checking every byte
// the other side sends against the script, and runs whole sessions — the server side on a
// listening port, the client side towards a relay — one at a time or many at once.
//
// Threading: PlaySide runs on the calling thread. RunSessions starts its own threads (one
// per concurrent client and one per concurrent server connection), joins them all before it
// returns, and shares only the read-only Script and counters guarded by its own mutex.
// Every wait is bounded by the time-out; no call blocks forever.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net.h"
#include "script.h"

namespace qxpeer {

struct SideResult {
  bool ok = false;
  std::string error;      // why it failed; "" when ok
  uint64_t sent = 0;      // bytes sent
  uint64_t received = 0;  // bytes received and found as expected
  uint64_t statements = 0;
};

struct PlayOptions {
  int timeout_ms = 30000;  // the longest wait without progress
  // When not 0, every send goes out in pieces of at most chunk_bytes, chunk_gap_ms apart, so
  // that a relay reads it in several parts (a descriptor split over two reads, say).
  size_t chunk_bytes = 0;
  int chunk_gap_ms = 0;
};

// Plays `me` on fd (which it closes) until the script's end. Fails on the first byte that
// differs, on bytes beyond the expected ones, on an early end of the connection, and when
// `timeout_ms` pass without progress.
SideResult PlaySide(int fd, const Script& script, Side me, const PlayOptions& options);

struct RunOptions {
  Endpoint relay;    // where clients connect
  Endpoint listen;   // where the server side listens
  int sessions = 1;
  int concurrency = 1;
  int timeout_ms = 30000;
  size_t chunk_bytes = 0;  // see PlayOptions; applies to both sides
  int chunk_gap_ms = 0;
  // Session i connects no earlier than i * connect_gap_ms after the start, so that a burst of
  // connections does not overflow a small listen backlog at the relay.
  int connect_gap_ms = 0;
  // Every client, once connected, waits until all the others have connected (or failed to)
  // before it plays: all sessions are open at once. Needs concurrency >= sessions.
  bool together = false;
};

struct RunResult {
  int sessions = 0;
  int clients_ok = 0, clients_failed = 0;
  int servers_ok = 0, servers_failed = 0;
  uint64_t statements = 0;
  uint64_t client_bytes = 0, server_bytes = 0;  // bytes verified at each side
  std::vector<std::string> failures;            // the first few, labelled by side
  bool ok() const {
    return clients_failed == 0 && servers_failed == 0 && clients_ok == sessions &&
           servers_ok == sessions;
  }
};

// Runs `options.sessions` copies of the script, `options.concurrency` at a time. Every
// session's server side may be played by whichever accepted connection comes; the copies are
// identical, so the pairing does not matter.
RunResult RunSessions(const Script& script, const RunOptions& options);

// A human-readable summary of a run, ending with a newline.
std::string Summary(const RunResult& r);

}  // namespace qxpeer
