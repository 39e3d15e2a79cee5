// WSAPoll-based event loop for the service thread (the Windows twin of event_loop_posix.cpp).
// Timers live in a map ordered by due time; readers in a map by socket. Posted callbacks and
// Stop() wake the loop through a wake socket (net.h's CreateWakeHandle), never by shutting a
// watched socket down from another thread: that does not wake WSAPoll everywhere (Wine).
// Registrations made from other threads before Run() are safe because Run() has not started;
// after that they happen on the loop thread only (from callbacks), so only the posted queue
// and the stop flag need the mutex.
#include <winsock2.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/platform.h"

namespace qx::platform {
namespace {

class Win32EventLoop final : public EventLoop {
 public:
  Win32EventLoop() : wake_(CreateWakeHandle()) {
    sink_ = [](const std::string& text) { SystemLogError("qxservice", text); };
  }
  ~Win32EventLoop() override {
    Close(wake_);
  }

  TimerId AddTimer(uint32_t interval_ms, Callback callback) override {
    const TimerId id = ++last_timer_id_;
    timers_[id] = Timer{interval_ms, TickCount() + interval_ms, std::move(callback)};
    return id;
  }
  void RemoveTimer(TimerId id) override { timers_.erase(id); }

  void AddReader(SocketHandle socket, Callback callback) override {
    readers_[socket] = Reader{std::move(callback), ++last_reader_gen_};
  }
  void RemoveReader(SocketHandle socket) override { readers_.erase(socket); }

  void Post(Callback callback) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      posted_.push_back(std::move(callback));
    }
    Wake();
  }

  void SetErrorSink(std::function<void(const std::string&)> sink) override {
    sink_ = std::move(sink);
  }

  void Stop() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopped_ = true;
    }
    Wake();
  }

  void Run() override {
    std::vector<WSAPOLLFD> fds;
    for (;;) {
      std::vector<Callback> posted;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopped_) return;
        posted.swap(posted_);
      }
      for (auto& cb : posted) Guarded(cb);

      // Due timers, each at most once per pass.
      const uint32_t now = TickCount();
      int timeout = 1000;
      std::vector<TimerId> due;
      for (auto& [id, t] : timers_) {
        const int32_t left = static_cast<int32_t>(t.due - now);
        if (left <= 0) {
          due.push_back(id);
        } else if (left < timeout) {
          timeout = left;
        }
      }
      for (TimerId id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;  // removed by an earlier callback
        it->second.due = now + it->second.interval;
        Callback cb = it->second.callback;  // the callback may remove its own timer
        Guarded(cb);
      }
      if (!due.empty()) continue;

      fds.clear();
      fds.push_back(WSAPOLLFD{static_cast<SOCKET>(wake_), POLLRDNORM, 0});
      const uint64_t polled_gen = last_reader_gen_;
      for (auto& entry : readers_) {
        fds.push_back(WSAPOLLFD{static_cast<SOCKET>(entry.first), POLLRDNORM, 0});
      }
      const int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout);
      if (n <= 0) {
        // WSAPoll returns at once on an error (a reader closed behind the loop's back): do not
        // spin on it.
        if (n < 0) Sleep(10);
        continue;
      }
      if (fds[0].revents) {
        char drain[64];
        while (recv(static_cast<SOCKET>(wake_), drain, sizeof drain, 0) > 0) {
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        auto it = readers_.find(static_cast<SocketHandle>(fds[i].fd));
        if (it == readers_.end()) continue;  // removed by an earlier callback
        // Registered after the poll: the readiness seen belongs to a socket closed meanwhile
        // whose handle the new one reuses.
        if (it->second.gen > polled_gen) continue;
        Callback cb = it->second.callback;
        Guarded(cb);
      }
    }
  }

 private:
  struct Timer {
    uint32_t interval;
    uint32_t due;
    Callback callback;
  };

  void Wake() { platform::Wake(wake_); }

  void Guarded(const Callback& cb) {
    try {
      cb();
    } catch (const std::exception& e) {
      sink_(e.what());
    } catch (...) {
      sink_("unknown error");
    }
  }

  const SocketHandle wake_;
  TimerId last_timer_id_ = 0;
  std::map<TimerId, Timer> timers_;           // loop thread only
  struct Reader {
    Callback callback;
    uint64_t gen;  // when it was registered (last_reader_gen_)
  };
  std::map<SocketHandle, Reader> readers_;  // loop thread only
  uint64_t last_reader_gen_ = 0;            // loop thread only
  std::function<void(const std::string&)> sink_;
  std::mutex mu_;
  std::vector<Callback> posted_;  // guarded by mu_
  bool stopped_ = false;          // guarded by mu_
};

}  // namespace

std::unique_ptr<EventLoop> EventLoop::Create() { return std::make_unique<Win32EventLoop>(); }

}  // namespace qx::platform
