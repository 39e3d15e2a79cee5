// A replayable Oracle Net conversation: the ordered sends and closes of a client and a server.
// Recorded captures and generated sessions are both turned into a Script; the replay engine
// plays one side of it on a connected socket and checks the other side's bytes against it.
//
// A Script is plain data: build it on one thread, then share it read-only between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qxpeer {

enum class Side { kClient, kServer };

inline Side Other(Side s) { return s == Side::kClient ? Side::kServer : Side::kClient; }
inline const char* SideName(Side s) { return s == Side::kClient ? "client" : "server"; }

enum class StepKind {
  kData,  // send `bytes`
  kFin,   // orderly close of the sending direction (shutdown for writing)
  kRst,   // abortive close (reset); nothing is sent or received afterwards
};

struct Step {
  Side from = Side::kClient;
  StepKind kind = StepKind::kData;
  std::string bytes;        // kData only
  // Bytes of the other side's stream that `from` must have received before this step.
  uint64_t need = 0;
  // For closes: also wait for the other side's end of stream first (the closing handshake
  // of a session whose capture did not record one).
  bool need_peer_eof = false;
  bool statement = false;   // counted as a statement in summaries
  int delay_ms = 0;         // pause after the wait, before the step (think time)
  uint64_t frame = 0;       // capture frame number (1-based) the step came from; 0 if generated
};

struct Script {
  std::string name;
  std::vector<Step> steps;
};

// Total bytes that `side` sends in the script.
uint64_t StreamBytes(const Script& script, Side side);

// The close step of `side`, or null when the script never closes that side.
const Step* CloseStep(const Script& script, Side side);

// Makes the script end in a defined way: a side that never closes gets an orderly close
// after everything else (the client first, then the server once it has seen the client's
// end), so that both sides can check that no stray bytes follow the expected ones.
void AddClosingHandshake(Script* script);

// Checks that both sides can play the script without waiting on each other forever.
// Returns "" when it can, or a description of the first step that could never start.
std::string CheckPlayable(const Script& script);

// One line per step, for `qxpeer list --steps` and for failure reports.
std::string Describe(const Script& script);

}  // namespace qxpeer
