// Session numbers (qx_session_id_seq) drawn off the data path. A background thread keeps a
// block of numbers reserved ahead of time, as a sequence's cache does, so that a connection
// that starts takes one without a repository round trip. While the repository cannot give
// any, a starting connection gets none (TryTake answers 0) and is relayed all the same: its
// rows carry a placeholder key instead, which the history writer resolves to one number per
// key (Resolve) before it writes them.
//
// Threading: every member may be called from any thread. TryTake and NewKey never wait.
// Resolve may wait for one draw from the repository and is meant for the writer's thread.
// Failures of the background draws are reported once when they begin and once when they end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace qx::sql {

class SessionNumbers {
 public:
  // Draws one number from the repository; throws on failure.
  using Draw = std::function<double()>;
  using Report = std::function<void(const std::string&)>;

  // `block`: numbers kept reserved; refilled once fewer than half of them are left. The first
  // block is drawn here, on the caller's thread.
  SessionNumbers(Draw draw, Report report, size_t block = 32);
  ~SessionNumbers();
  SessionNumbers(const SessionNumbers&) = delete;
  SessionNumbers& operator=(const SessionNumbers&) = delete;

  // A reserved number, or 0 when none is ready.
  double TryTake();
  // A placeholder key unique within this process and across its restarts (it starts from
  // the start time), never 0.
  uint64_t NewKey();
  // The number for a placeholder key: the same for every call with that key. Takes a
  // reserved number or draws one now; throws when the repository gives none.
  double Resolve(uint64_t key);
  // Numbers reserved now (for tests and the logs).
  size_t Reserved();

 private:
  void Run();

  const Draw draw_;
  const Report report_;
  const size_t block_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<double> ready_;                      // guarded by mu_
  std::unordered_map<uint64_t, double> resolved_;  // guarded by mu_
  bool stopping_ = false;                         // guarded by mu_
  uint64_t next_key_;                             // guarded by mu_
  std::thread thread_;
};

}  // namespace qx::sql
