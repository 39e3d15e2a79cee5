// The stand-in's listening socket: accepts connections and serves each on a thread of its own
// until Stop().
//
// Threading: Run() blocks the calling thread; Stop() may be called from any thread (it only
// sets a flag that Run() polls) and returns at once. Run() returns after every connection
// thread has ended; it shuts their sockets down to make them end.
#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include "session.h"

namespace standin {

class Listener {
 public:
  Listener(SessionConfig config, StatementLog& log) : config_(std::move(config)), log_(log) {}
  // Binds HOST:PORT (port 0: any free port). False with *error on failure.
  bool Open(const std::string& host, int port, std::string* error);
  int port() const { return port_; }
  void Run();
  void Stop() { stop_ = true; }

 private:
  SessionConfig config_;
  StatementLog& log_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;       // guards open_ and active_
  std::set<int> open_;     // sockets of running connections
  int active_ = 0;
};

}  // namespace standin
