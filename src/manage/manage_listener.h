// A managing listener: a non-blocking TCP listener whose accept and read events run on the
// service thread's event loop, one after the other with the status timers. Each read event
// hands the client socket to the request handler, which receives once and answers once;
// client connections stay open until the client closes them.
//
// Threading: everything, including Activate/Deactivate, runs on the loop's thread (or before
// the loop runs / after it has stopped).
#pragma once

#include <functional>
#include <set>
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

  // Throws ManageError with the socket error's message.
  void Activate();
  void Deactivate();
  bool Active() const { return listener_ != platform::kInvalidSocket; }
  int LocalPort() const;

 private:
  void OnAccept();
  void OnReadable(platform::SocketHandle client);
  void CloseClient(platform::SocketHandle client);

  platform::EventLoop& loop_;
  const int port_;
  RequestHandler handler_;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  std::set<platform::SocketHandle> clients_;
  // Accepting failed (out of descriptors): the listener is off the loop until the timer fires.
  bool paused_ = false;
  platform::EventLoop::TimerId resume_timer_ = 0;
};

}  // namespace qx::manage
