// The services' status heartbeat off the service thread: the loop's timers only ask for a
// beat, and a thread of its own updates the status rows, so that neither the managing port
// nor the timers ever wait for the repository (another process's lock, a disk that fails).
// A failing beat is written to the service and error logs once when the failures begin and
// once when a beat succeeds again.
//
// Threading: Request() may be called from any thread and never waits; the beats run on the
// heartbeat's thread. The destructor ends the thread after the beat in progress.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace qx::service {

class TQuorvexService;

class Heartbeat {
 public:
  explicit Heartbeat(TQuorvexService& svc);
  ~Heartbeat();
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;

  // Asks for a beat of the service with this id; requests made while one is pending merge.
  void Request(int tag);

 private:
  void Run();

  TQuorvexService& svc_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::set<int> pending_;  // guarded by mu_
  bool stopping_ = false;  // guarded by mu_
  bool failing_ = false;   // heartbeat thread only
  std::thread thread_;
};

}  // namespace qx::service
