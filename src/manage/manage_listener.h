// A managing listener: a non-blocking TCP listener whose accept and read events run on the
// service thread's event loop, one after the other with the status timers. Each read event
// hands the client socket to the request handler, which receives once and answers once;
// client connections stay open until the client closes them or stay idle for the idle timeout.
// At most max_clients are open at once: a client beyond that is closed as soon as it is
// accepted, and counted (so that idle monitoring clients cannot take the descriptors the relay
// needs).
//
// Threading: everything, including Activate/Deactivate, runs on the loop's thread (or before
// the loop runs / after it has stopped).
#pragma once

#include <functional>
#include <cstdint>
#include <map>
#include <string>
#include <stdexcept>

#include "platform/event_loop.h"
#include "platform/net.h"

namespace qx::manage {

class ManageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TManageListener {
 public:
  // handler(listening port, client socket) -> false when the client has closed (it is then
  // closed quietly). An error thrown by the handler closes the client and goes to the loop's
  // error sink.
  using RequestHandler = std::function<bool(int, platform::SocketHandle)>;

  TManageListener(platform::EventLoop& loop, int port, RequestHandler handler);
  ~TManageListener();
  TManageListener(const TManageListener&) = delete;
  TManageListener& operator=(const TManageListener&) = delete;

  // Limits (defaults 64 clients, 60 s idle; idle_ms 0: no timeout). `log` gets a line when
  // refusing begins and when it ends (with the count), and for idle clients closed. Call before
  // Activate.
  void SetLimits(size_t max_clients, uint32_t idle_ms, std::function<void(const std::string&)> log);
  // Clients closed at once because max_clients were open; clients closed for being idle.
  uint64_t Refused() const { return refused_; }
  uint64_t TimedOut() const { return timed_out_; }
  size_t OpenClients() const { return clients_.size(); }

  // Throws ManageError with the socket error's message.
  void Activate();
  void Deactivate();
  bool Active() const { return listener_ != platform::kInvalidSocket; }
  int LocalPort() const;

 private:
  void OnAccept();
  void OnReadable(platform::SocketHandle client);
  void CloseClient(platform::SocketHandle client);
  void SweepIdle();
  void CloseEnded();
  void Log(const std::string& line) {
    if (log_) log_(line);
  }

  platform::EventLoop& loop_;
  const int port_;
  RequestHandler handler_;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  // Open clients and the tick (ms) of their last request.
  std::map<platform::SocketHandle, uint64_t> clients_;
  size_t max_clients_ = 64;
  uint32_t idle_ms_ = 60000;
  std::function<void(const std::string&)> log_;
  uint64_t refused_ = 0, timed_out_ = 0;
  uint64_t refusing_ = 0;  // refused in the current run of refusals (logged when it ends)
  platform::EventLoop::TimerId sweep_timer_ = 0;
  // Accepting failed (out of descriptors): the listener is off the loop until the timer fires.
  bool paused_ = false;
  platform::EventLoop::TimerId resume_timer_ = 0;
};

}  // namespace qx::manage
