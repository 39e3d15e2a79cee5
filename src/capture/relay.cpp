// The relay's threads and its byte-copying loop.
#include "capture/relay.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <functional>

#include "capture/thread_data.h"

namespace qx::capture {
namespace {

// One receive takes at most this much, whatever the socket holds.
constexpr size_t kChunkSize = 32768;

// Above SOMAXCONN on purpose: listen() takes the system's maximum for anything larger.
constexpr int kListenBacklog = 65535;

// While a peer takes nothing, how often the relay looks whether the sending side is still there.
constexpr int kSendSliceMs = 1000;

std::string StallText(long long ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

TRelayConnection::~TRelayConnection() {
  platform::Close(client);
  platform::Close(server);
}

void TRelayConnection::CloseSocket(platform::SocketHandle* s) {
  std::lock_guard<std::mutex> lock(sock_mu);
  platform::Close(*s);
  *s = platform::kInvalidSocket;
}

void TRelayConnection::ShutdownSockets() {
  std::lock_guard<std::mutex> lock(sock_mu);
  platform::Shutdown(client);
  platform::Shutdown(server);
}

TRelayListener::~TRelayListener() { Deactivate(); }

void TRelayListener::Activate() {
  if (Active()) return;
  platform::SocketError error;
  // A burst of connects must wait in the accept queue, not be refused: ask for the largest
  // queue the system allows (the kernel cuts the request down to net.core.somaxconn).
  const platform::SocketHandle s = platform::ListenTcp(port, kListenBacklog, &error);
  if (s == platform::kInvalidSocket) throw RelayError(error.Message());
  listener_ = s;
  bound_port_ = platform::LocalPort(s);
  wake_ = platform::CreateWakeHandle();
  {
    std::lock_guard<std::mutex> lock(conns_mu_);
    stopping_ = false;
  }
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

int TRelayListener::LocalPort() const { return bound_port_; }

void TRelayListener::StopAccepting() {
  if (!Active()) return;
  platform::Wake(wake_);
  accept_thread_.join();
  platform::Close(listener_);
  platform::Close(wake_);
  listener_ = wake_ = platform::kInvalidSocket;
}

void TRelayListener::Deactivate() {
  StopAccepting();

  std::list<Entry> conns;
  {
    std::lock_guard<std::mutex> lock(conns_mu_);
    stopping_ = true;
    for (Entry& e : conns_) {
      e.conn->stopping = true;
      e.conn->ShutdownSockets();
    }
    conns.splice(conns.end(), conns_);
  }
  for (Entry& e : conns) {
    if (e.thread.joinable()) e.thread.join();
  }
}

void TRelayListener::ForEachConnection(
    const std::function<void(const std::shared_ptr<TRelayConnection>&)>& fn) {
  std::lock_guard<std::mutex> lock(conns_mu_);
  for (Entry& e : conns_) fn(e.conn);
}

void TRelayListener::ReapFinished() {
  for (auto it = conns_.begin(); it != conns_.end();) {
    if (it->done.load()) {
      it->thread.join();
      it = conns_.erase(it);
    } else {
      ++it;
    }
  }
}

void TRelayListener::AcceptLoop() {
  for (;;) {
    platform::AcceptedSocket accepted;
    platform::SocketError error;
    if (!platform::AcceptTcp(listener_, wake_, &accepted, &error)) {
      if (error.code == 0) return;  // woken by Deactivate
      // Out of descriptors or memory: wait a little instead of spinning, keep listening.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    auto conn = std::make_shared<TRelayConnection>();
    conn->client = accepted.socket;
    conn->peer_ip = accepted.peer_ip;
    conn->peer_port = accepted.peer_port;
    conn->local_port = accepted.local_port;
    platform::SetNoDelay(conn->client);

    std::lock_guard<std::mutex> lock(conns_mu_);
    ReapFinished();
    if (stopping_) return;
    conns_.emplace_back();
    Entry& entry = conns_.back();
    entry.conn = conn;
    std::atomic<bool>* done = &entry.done;
    entry.thread = std::thread([this, conn, done] {
      RunConnection(conn);
      done->store(true);
    });
  }
}

void TRelayConnection::Detach() {
  std::lock_guard<std::mutex> lock(detach_mu_);
  detached_.store(true);
  // A handler that started before the mark is let finish (it may be storing a statement).
  for (int spins = 0; in_handler_.load(); ++spins) {
    if (spins < 100) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

template <typename Fn>
void TRelayListener::Dispatch(TRelayConnection& conn, Fn&& fn) {
  conn.in_handler_.store(true);
  if (conn.detached_.load()) {
    conn.in_handler_.store(false);
    return;
  }
  struct Leave {
    std::atomic<bool>& flag;
    ~Leave() { flag.store(false, std::memory_order_release); }
  } leave{conn.in_handler_};
  fn();
}

void TRelayListener::RunConnection(std::shared_ptr<TRelayConnection> conn) {
  bool connected = true;
  try {
    if (OnConnect) Dispatch(*conn, [&] { OnConnect(*conn); });
  } catch (...) {
    // The record could not be created: the client is relayed all the same, unmonitored.
  }
  if (connected && !conn->stopping) {
    platform::SocketError error;
    const platform::SocketHandle server = platform::ConnectTcp(targetHost, targetPort, &error);
    {
      std::lock_guard<std::mutex> lock(conn->sock_mu);
      conn->server = server;
    }
    connected = server != platform::kInvalidSocket;
    // Teardown may have shut the client down while we were connecting.
    if (connected && conn->stopping) conn->ShutdownSockets();
  }
  if (connected) {
    platform::SetNoDelay(conn->server);
    Relay(*conn);
  } else {
    conn->CloseSocket(&conn->client);
  }
  try {
    if (OnDisconnect) Dispatch(*conn, [&] { OnDisconnect(*conn); });
  } catch (...) {
    // The disconnect handler guards its own work; nothing may leave this thread.
  }
  conn->CloseSocket(&conn->server);
  conn->CloseSocket(&conn->client);
}

void TRelayListener::Relay(TRelayConnection& conn) {
  // Chunks are handled and forwarded straight from the receive buffer, without a copy. The
  // buffer is left uninitialised: an idle connection's pages stay untouched (not resident)
  // beyond the bytes it has actually received.
  const std::unique_ptr<char[]> buffer(new char[kChunkSize]);
  auto report = [&](const std::string& message) {
    if (OnException) Dispatch(conn, [&] { OnException(conn, message); });
  };
  using Clock = std::chrono::steady_clock;
  const auto stall = std::chrono::milliseconds(stallTimeoutMs > 0 ? stallTimeoutMs : 0);
  // Each side's sending half: open until that side ends it (an orderly close), which is then
  // passed on to the other side while the other direction goes on until it ends too.
  bool from_client = true, from_server = true;

  // Forwards a chunk from `source` to `target`. While the target takes nothing, the wait goes
  // on as long as the source is still there; once the source has gone, for at most the stall
  // time. False when the relay is over (reported).
  auto forward = [&](platform::SocketHandle source, platform::SocketHandle target, size_t size,
                     const char* source_name, const char* target_name) {
    // Whether to go on waiting while the target takes nothing. Handed over by reference: a
    // std::function holds a reference_wrapper in place, so a chunk's send allocates nothing.
    struct Waiting {
      TRelayConnection& conn;
      platform::SocketHandle source;
      std::chrono::milliseconds stall;
      bool gone = false;
      Clock::time_point gone_since{};
      bool operator()() {
        if (conn.stopping) return false;
        if (!platform::PeerEnded(source)) {
          gone = false;
          return true;
        }
        if (!gone) {
          gone = true;
          gone_since = Clock::now();
        }
        return stall.count() == 0 || Clock::now() - gone_since < stall;
      }
    } waiting{conn, source, stall};
    platform::SocketError error;
    if (platform::SendAllWhile(target, buffer.get(), size, kSendSliceMs, std::ref(waiting),
                               &error)) {
      return true;
    }
    const bool gone = waiting.gone;
    if (gone && !conn.stopping) {
      report(std::string("Relay stalled: the ") + source_name + " has gone and the " +
             target_name + " has taken nothing for " + StallText(stall.count()) +
             "; the connection is closed.");
    } else if (!conn.stopping) {
      report(error.Message());
    }
    return false;
  };

  while ((from_client || from_server) && !conn.stopping) {
    try {
      bool client_ready = false, server_ready = false;
      platform::SocketError error;
      // With one side ended, the other gets the stall time to finish.
      int timeout = -1;
      if (!(from_client && from_server) && stall.count() > 0) {
        timeout = static_cast<int>(std::min<long long>(stall.count(), INT_MAX));
      }
      const platform::SocketHandle first = from_client ? conn.client : conn.server;
      const platform::SocketHandle second =
          from_client && from_server ? conn.server : platform::kInvalidSocket;
      bool first_ready = false, second_ready = false;
      if (!platform::WaitReadable(first, second, &first_ready, &second_ready, timeout, &error)) {
        report(error.Message());
        return;
      }
      client_ready = from_client && first_ready;
      server_ready = from_client ? second_ready : first_ready;
      if (!client_ready && !server_ready) {
        if (timeout >= 0) {
          report(std::string("Relay stalled: the ") + (from_client ? "server" : "client") +
                 " has gone and the " + (from_client ? "client" : "server") +
                 " has sent nothing for " + StallText(stall.count()) +
                 "; the connection is closed.");
          return;
        }
        continue;
      }
      if (client_ready) {
        const long n = platform::Receive(conn.client, buffer.get(), kChunkSize, &error);
        if (n > 0) {
          const size_t size = static_cast<size_t>(n);
          if (OnExecute) {
            Dispatch(conn, [&] {
              conn.chunk = std::string_view(buffer.get(), size);
              OnExecute(conn);
              conn.chunk = {};
            });
          }
          if (!forward(conn.client, conn.server, size, "client", "server")) return;
          if (conn.afterForward) {
            conn.afterForward = false;
            if (OnForwarded) Dispatch(conn, [&] { OnForwarded(conn); });
          }
        } else if (n == 0) {
          from_client = false;
          platform::ShutdownSend(conn.server);
        } else {
          if (!conn.stopping) report(error.Message());
          return;
        }
      }
      if (server_ready) {
        const long n = platform::Receive(conn.server, buffer.get(), kChunkSize, &error);
        if (n > 0) {
          const size_t size = static_cast<size_t>(n);
          if (OnOutboundData) {
            Dispatch(conn, [&] {
              conn.chunk = std::string_view(buffer.get(), size);
              OnOutboundData(conn);
              conn.chunk = {};
            });
          }
          if (!forward(conn.server, conn.client, size, "server", "client")) return;
          if (conn.afterForward) {
            conn.afterForward = false;
            if (OnForwarded) Dispatch(conn, [&] { OnForwarded(conn); });
          }
        } else if (n == 0) {
          from_server = false;
          platform::ShutdownSend(conn.client);
        } else {
          if (!conn.stopping) report(error.Message());
          return;
        }
      }
    } catch (const std::exception& e) {
      // An error that escaped a handler ends the relay for good; the chunk is not forwarded.
      conn.chunk = {};
      try {
        report(e.what());
      } catch (...) {
      }
      return;
    } catch (...) {
      conn.chunk = {};
      try {
        report("unknown error");
      } catch (...) {
      }
      return;
    }
  }
}

}  // namespace qx::capture
