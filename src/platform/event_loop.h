// The service thread's event loop: repeating timers and socket readiness callbacks, all run
// one after the other on the thread that calls Run(). It stands in for the message loop of a
// service framework: whatever is registered here is serialised with everything else
// registered here, so handlers need no locks among themselves.
//
// Threading: AddTimer/RemoveTimer/AddReader/RemoveReader may be called from the loop thread
// (including from inside a callback) or from any thread before Run(). Post() and Stop() may be
// called from any thread at any time. Callbacks never run after Run() has returned.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/socket.h"

namespace qx::platform {

class EventLoop {
 public:
  using Callback = std::function<void()>;
  using TimerId = uint64_t;

  static std::unique_ptr<EventLoop> Create();
  virtual ~EventLoop() = default;

  // Calls `callback` every `interval_ms` milliseconds until removed. The first call comes one
  // interval after this call. A callback that throws is caught by the loop; the exception's
  // text is handed to the error sink (see SetErrorSink) and the timer keeps running.
  virtual TimerId AddTimer(uint32_t interval_ms, Callback callback) = 0;
  virtual void RemoveTimer(TimerId id) = 0;

  // Calls `callback` whenever `socket` is readable (or has an error / hang-up pending).
  virtual void AddReader(SocketHandle socket, Callback callback) = 0;
  virtual void RemoveReader(SocketHandle socket) = 0;

  // Runs `callback` once on the loop thread, as soon as possible.
  virtual void Post(Callback callback) = 0;

  // Where errors escaping a callback are reported (default: the system log).
  virtual void SetErrorSink(std::function<void(const std::string&)> sink) = 0;

  // Runs callbacks until Stop() is called. Returns at once if Stop() came first.
  virtual void Run() = 0;
  virtual void Stop() = 0;
};

}  // namespace qx::platform
