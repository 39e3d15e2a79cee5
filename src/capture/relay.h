// The active-mode TCP relay: a listener on all local IPv4 addresses that, for every accepted
// client, opens a connection to a fixed target and copies bytes both ways, unchanged. Before a
// chunk is forwarded, a handler may look at it (it never changes it). This is the mechanism
// only; the monitoring handlers are attached by the owner.
//
// Threads: Activate() starts an accept thread; every accepted client gets a thread of its own
// that runs all handler calls of that connection, one at a time, in this order: OnConnect,
// then OnExecute / OnOutboundData per chunk and OnException per error, then OnDisconnect.
//
// Teardown takes a connection's record from another thread by detaching it (Detach): once
// that returns, no handler of the connection runs again and the one that was running has
// finished. The connection's thread takes no lock per chunk for this.
//
// An orderly close of one side is passed on to the other (its sending side is shut down) and
// the other direction goes on until it ends too; a socket error on either side ends both.
//
// Deactivate() stops accepting, wakes every connection thread (their sockets are shut down)
// and joins all threads before it returns; handlers may still run until then. A TRelayListener
// must be deactivated before it is destroyed (the destructor does it).
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "platform/net.h"

namespace qx::capture {

struct TThreadData;

class RelayError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One relayed client connection.
class TRelayConnection : public std::enable_shared_from_this<TRelayConnection> {
 public:
  // The data slot: the connection's record, or null. Owned. Used by the handlers, and by
  // another thread only once it has detached the connection.
  std::unique_ptr<TThreadData> data;

  // Ends the connection's handler calls for good: no handler starts after Detach() returns,
  // and one that was running has returned. Called from another thread than the connection's;
  // waits while a handler runs.
  void Detach();
  bool Detached() const { return detached_.load(); }

  // The chunk being handled: a view of the relay's receive buffer, valid only during
  // OnExecute / OnOutboundData (empty otherwise). The bytes are forwarded from that buffer
  // after the handler returns, so a handler must copy what it keeps.
  std::string_view chunk;
  // Set by OnExecute / OnOutboundData when they left work for after the chunk has been
  // forwarded: the relay then calls OnForwarded once the chunk is on its way.
  bool afterForward = false;

  int local_port = 0;  // local port of the accepted client socket
  int peer_port = 0;   // the client's port
  std::string peer_ip;

  ~TRelayConnection();

 private:
  friend class TRelayListener;
  // The sockets are written (closed) only by the connection's thread, under sock_mu, so that
  // Deactivate can shut them down from another thread without touching a reused descriptor.
  std::mutex sock_mu;
  platform::SocketHandle client = platform::kInvalidSocket;
  platform::SocketHandle server = platform::kInvalidSocket;
  std::atomic<bool> stopping{false};
  // The handshake between the connection's thread and Detach(): the thread sets in_handler_
  // before it looks at detached_, Detach sets detached_ before it looks at in_handler_ (both
  // sequentially consistent), so at least one of them sees the other's mark.
  std::atomic<bool> detached_{false};
  std::atomic<bool> in_handler_{false};
  std::mutex detach_mu_;  // one Detach at a time
  void CloseSocket(platform::SocketHandle* s);
  void ShutdownSockets();
};

class TRelayListener {
 public:
  using Handler = std::function<void(TRelayConnection&)>;
  using ExceptionHandler = std::function<void(TRelayConnection&, const std::string&)>;

  TRelayListener() = default;
  ~TRelayListener();
  TRelayListener(const TRelayListener&) = delete;
  TRelayListener& operator=(const TRelayListener&) = delete;

  int port = 0;  // 0: any free port (LocalPort() tells which after Activate)
  std::string targetHost;
  int targetPort = 0;
  // A connection one of whose sides has gone while the other takes or sends nothing for this
  // long is closed (reported through OnException). 0: no limit.
  int stallTimeoutMs = 300000;
  Handler OnConnect, OnDisconnect, OnExecute, OnOutboundData;
  // After a chunk whose handler set `afterForward` has been forwarded (see TRelayConnection).
  // An error escaping it ends the relay like one escaping the chunk's handler.
  Handler OnForwarded;
  ExceptionHandler OnException;

  // Listens and starts accepting. Throws RelayError with the socket error's message.
  void Activate();
  void Deactivate();
  // Stops accepting new clients; open connections go on relaying.
  void StopAccepting();
  bool Active() const { return listener_ != platform::kInvalidSocket; }
  int LocalPort() const;

  // Calls fn for every live connection (under the listener's list lock; do not block in fn).
  void ForEachConnection(const std::function<void(const std::shared_ptr<TRelayConnection>&)>& fn);

 private:
  void AcceptLoop();
  void RunConnection(std::shared_ptr<TRelayConnection> conn);
  void Relay(TRelayConnection& conn);
  // Runs a handler unless teardown detached the connection (a template, so that a chunk's
  // call wraps nothing on the heap).
  template <typename Fn>
  void Dispatch(TRelayConnection& conn, Fn&& fn);

  platform::SocketHandle listener_ = platform::kInvalidSocket;
  int bound_port_ = 0;  // the listening port, kept for lookups after StopAccepting
  platform::SocketHandle wake_ = platform::kInvalidSocket;
  std::thread accept_thread_;

  std::mutex conns_mu_;
  // Live connections and their threads; guarded by conns_mu_.
  struct Entry {
    std::shared_ptr<TRelayConnection> conn;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  std::list<Entry> conns_;
  bool stopping_ = false;  // guarded by conns_mu_

  void ReapFinished();  // joins finished threads; called with conns_mu_ held
};

}  // namespace qx::capture
