// The relay mechanism on loopback: bytes unchanged both ways, handler order, errors routed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include "capture/relay.h"
#include "platform/net.h"
#include "support/test_util.h"

namespace qx::capture {
namespace {

using platform::SocketError;
using platform::SocketHandle;

// A loopback server that sends back everything it receives, upper-cased by nothing.
class EchoServer {
 public:
  EchoServer() {
    SocketError e;
    listener_ = platform::ListenTcp(0, 16, &e);
    wake_ = platform::CreateWakeHandle();
    thread_ = std::thread([this] {
      platform::AcceptedSocket a;
      SocketError err;
      while (platform::AcceptTcp(listener_, wake_, &a, &err)) {
        SocketHandle s = a.socket;
        clients_.emplace_back([s] {
          char buf[65536];
          SocketError err2;
          long n;
          while ((n = platform::Receive(s, buf, sizeof buf, &err2)) > 0) {
            if (!platform::SendAll(s, buf, static_cast<size_t>(n), &err2)) break;
          }
          platform::Close(s);
        });
      }
    });
  }
  ~EchoServer() {
    platform::Wake(wake_);
    thread_.join();
    for (auto& t : clients_) t.join();
    platform::Close(listener_);
    platform::Close(wake_);
  }
  int port() const { return platform::LocalPort(listener_); }

 private:
  SocketHandle listener_, wake_;
  std::thread thread_;
  std::vector<std::thread> clients_;
};

struct Events {
  std::mutex mu;
  std::vector<std::string> calls;
  std::string to_server, to_client;
  void Add(const std::string& c) {
    std::lock_guard<std::mutex> l(mu);
    calls.push_back(c);
  }
};

void Attach(TRelayListener& relay, Events& ev) {
  relay.OnConnect = [&ev](TRelayConnection&) { ev.Add("connect"); };
  relay.OnDisconnect = [&ev](TRelayConnection&) { ev.Add("disconnect"); };
  relay.OnExecute = [&ev](TRelayConnection& c) {
    std::lock_guard<std::mutex> l(ev.mu);
    ev.to_server += c.chunk;
  };
  relay.OnOutboundData = [&ev](TRelayConnection& c) {
    std::lock_guard<std::mutex> l(ev.mu);
    ev.to_client += c.chunk;
  };
  relay.OnException = [&ev](TRelayConnection&, const std::string& m) { ev.Add("exception " + m); };
}

std::string ReadExactly(SocketHandle s, size_t n) {
  std::string out;
  char buf[65536];
  SocketError e;
  while (out.size() < n) {
    const long r = platform::Receive(s, buf, sizeof buf, &e);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

// Points the relay at a target on 127.0.0.1 and records its handler calls in `ev`.
void Aim(TRelayListener& relay, Events& ev, int target_port) {
  relay.targetHost = "127.0.0.1";
  relay.targetPort = target_port;
  Attach(relay, ev);
}

TEST(Relay, CopiesEveryByteBothWaysAndSeesEachChunk) {
  EchoServer echo;
  Events ev;
  TRelayListener relay;
  Aim(relay, ev, echo.port());
  relay.Activate();

  SocketError e;
  SocketHandle c = platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e);
  ASSERT_NE(c, platform::kInvalidSocket);
  std::string payload;
  for (int i = 0; i < 300000; ++i) payload += static_cast<char>(i * 7 % 256);
  std::thread writer([&] { platform::SendAll(c, payload.data(), payload.size(), &e); });
  const std::string back = ReadExactly(c, payload.size());
  writer.join();
  EXPECT_TRUE(back == payload);
  platform::Close(c);
  ASSERT_TRUE(test::WaitUntil([&] {
    std::lock_guard<std::mutex> l(ev.mu);
    return ev.calls.size() >= 2;
  }, 5000));
  relay.Deactivate();
  EXPECT_EQ(ev.calls, (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_TRUE(ev.to_server == payload);
  EXPECT_TRUE(ev.to_client == payload);
}

TEST(Relay, RefusedTargetClosesTheClientWithoutAnError) {
  // A port that nobody listens on: bind one, note it, close it.
  SocketError e;
  SocketHandle probe = platform::ListenTcp(0, 1, &e);
  const int dead_port = platform::LocalPort(probe);
  platform::Close(probe);

  Events ev;
  TRelayListener relay;
  Aim(relay, ev, dead_port);
  relay.Activate();
  SocketHandle c = platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e);
  ASSERT_NE(c, platform::kInvalidSocket);
  char buf[16];
  EXPECT_EQ(platform::Receive(c, buf, sizeof buf, &e), 0);  // closed by the relay
  platform::Close(c);
  relay.Deactivate();
  EXPECT_EQ(ev.calls, (std::vector<std::string>{"connect", "disconnect"}));
}

TEST(Relay, HandlerErrorEndsTheConnectionWithoutForwardingTheChunk) {
  EchoServer echo;
  Events ev;
  TRelayListener relay;
  Aim(relay, ev, echo.port());
  relay.OnExecute = [](TRelayConnection& c) {
    if (c.chunk.find("boom") != std::string_view::npos) throw std::runtime_error("handler failed");
  };
  relay.Activate();
  SocketError e;
  SocketHandle c = platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e);
  platform::SendAll(c, "hello", 5, &e);
  EXPECT_EQ(ReadExactly(c, 5), "hello");
  platform::SendAll(c, "boom", 4, &e);
  char buf[16];
  EXPECT_LE(platform::Receive(c, buf, sizeof buf, &e), 0);
  platform::Close(c);
  relay.Deactivate();
  EXPECT_EQ(ev.calls,
            (std::vector<std::string>{"connect", "exception handler failed", "disconnect"}));
}

TEST(Relay, DeactivateEndsOpenConnectionsPromptly) {
  EchoServer echo;
  Events ev;
  TRelayListener relay;
  Aim(relay, ev, echo.port());
  relay.Activate();
  std::vector<SocketHandle> clients;
  SocketError e;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e));
    platform::SendAll(clients.back(), "x", 1, &e);
    EXPECT_EQ(ReadExactly(clients.back(), 1), "x");
  }
  relay.Deactivate();
  int connects = 0, disconnects = 0;
  for (auto& c : ev.calls) {
    connects += c == "connect";
    disconnects += c == "disconnect";
  }
  EXPECT_EQ(connects, 20);
  EXPECT_EQ(disconnects, 20);
  for (auto c : clients) platform::Close(c);
}

// A target that takes one connection and runs `serve` on it.
class OneShotServer {
 public:
  explicit OneShotServer(std::function<void(SocketHandle)> serve) {
    SocketError e;
    listener_ = platform::ListenTcp(0, 4, &e);
    thread_ = std::thread([this, serve] {
      platform::AcceptedSocket a;
      SocketError err;
      const SocketHandle wake = platform::CreateWakeHandle();
      if (platform::AcceptTcp(listener_, wake, &a, &err)) {
        serve(a.socket);
        platform::Close(a.socket);
      }
      platform::Close(wake);
    });
  }
  ~OneShotServer() {
    thread_.join();
    platform::Close(listener_);
  }
  int port() const { return platform::LocalPort(listener_); }

 private:
  SocketHandle listener_;
  std::thread thread_;
};

TEST(Relay, AHalfCloseIsPassedOnAndTheAnswerStillArrives) {
  // The server reads the request to its end (so it must see the client's close), then
  // answers with more than one chunk and closes.
  std::string answer;
  for (int i = 0; i < 100000; ++i) answer += static_cast<char>(i * 13 % 251);
  std::string request_seen;
  OneShotServer server([&](SocketHandle s) {
    request_seen = ReadExactly(s, SIZE_MAX);
    SocketError e;
    platform::SendAll(s, answer.data(), answer.size(), &e);
  });
  Events ev;
  TRelayListener relay;
  Aim(relay, ev, server.port());
  relay.Activate();
  SocketError e;
  SocketHandle c = platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e);
  ASSERT_NE(c, platform::kInvalidSocket);
  ASSERT_TRUE(platform::SendAll(c, "request", 7, &e));
  platform::ShutdownSend(c);
  const std::string back = ReadExactly(c, SIZE_MAX);  // to the relay's close
  platform::Close(c);
  ASSERT_TRUE(test::WaitUntil([&] {
    std::lock_guard<std::mutex> l(ev.mu);
    return ev.calls.size() >= 2;
  }, 5000));
  relay.Deactivate();
  EXPECT_EQ(request_seen, "request");
  EXPECT_TRUE(back == answer) << back.size() << " of " << answer.size() << " bytes";
  EXPECT_EQ(ev.calls, (std::vector<std::string>{"connect", "disconnect"}));
}

TEST(Relay, ASilentOrStuckServerIsLetGoOnceTheClientHasGone) {
  std::atomic<bool> release{false};
  auto never_reads = [&](SocketHandle) {
    // Takes the connection and neither reads nor answers until the test is over.
    test::WaitUntil([&] { return release.load(); }, 20000);
  };
  auto calls_once_over = [](Events& ev) {
    test::WaitUntil([&] {
      std::lock_guard<std::mutex> l(ev.mu);
      return ev.calls.size() >= 3;
    }, 10000);
    std::lock_guard<std::mutex> l(ev.mu);
    return ev.calls;
  };
  SocketError e;
  {
    // The client sends its request and ends its side; the server never answers.
    OneShotServer server(never_reads);
    Events ev;
    TRelayListener relay;
    relay.stallTimeoutMs = 300;
    Aim(relay, ev, server.port());
    relay.Activate();
    SocketHandle c = platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e);
    ASSERT_NE(c, platform::kInvalidSocket);
    ASSERT_TRUE(platform::SendAll(c, "request", 7, &e));
    platform::ShutdownSend(c);
    const auto calls = calls_once_over(ev);
    char byte;
    EXPECT_EQ(platform::Receive(c, &byte, 1, &e), 0);  // closed by the relay
    platform::Close(c);
    release = true;
    relay.Deactivate();
    ASSERT_EQ(calls.size(), 3u) << ::testing::PrintToString(calls);
    EXPECT_EQ(calls[1],
              "exception Relay stalled: the client has gone and the server has sent nothing for "
              "300 ms; the connection is closed.");
    EXPECT_EQ(calls[2], "disconnect");
  }
  release = false;
  {
    // The server takes nothing; the client fills every buffer on the way and is killed.
    OneShotServer server(never_reads);
    Events ev;
    TRelayListener relay;
    relay.stallTimeoutMs = 300;
    Aim(relay, ev, server.port());
    relay.Activate();
    SocketHandle c = platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e);
    ASSERT_NE(c, platform::kInvalidSocket);
    platform::SetNonBlocking(c);
    const std::string block(1 << 16, 'x');
    size_t sent = 0;
    int idle_ms = 0;
    for (int i = 0; i < 5000 && idle_ms < 300 && sent < (256u << 20); ++i) {
      const long n = platform::SendSome(c, block.data(), block.size(), &e);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        idle_ms = 0;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        idle_ms += 10;
      }
    }
    // Killed: its kernel resets the connection (a graceful close would wait behind the bytes
    // still queued on its side).
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(static_cast<decltype(socket(0, 0, 0))>(c), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&l), sizeof l);
    platform::Close(c);
    const auto calls = calls_once_over(ev);
    release = true;
    relay.Deactivate();
    // Ended by the reset or by the stall rule, whichever the relay was waiting on.
    ASSERT_EQ(calls.size(), 3u) << ::testing::PrintToString(calls) << " sent " << sent;
    EXPECT_EQ(calls[2], "disconnect");
  }
}

// Teardown detaches a connection while its handler is busy with a chunk: Detach returns only
// once that handler has returned, and from then on the bytes still flow both ways with no
// handler called, not even the disconnect one.
TEST(Relay, DetachWaitsForTheRunningHandlerAndNoneRunsAfterIt) {
  EchoServer echo;
  TRelayListener relay;
  relay.targetHost = "127.0.0.1";
  relay.targetPort = echo.port();
  std::atomic<int> executes{0}, outbound{0}, disconnects{0};
  std::atomic<bool> started{false}, finished{false};
  relay.OnExecute = [&](TRelayConnection&) {
    if (executes.fetch_add(1) == 0) {
      started = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      finished = true;
    }
  };
  relay.OnOutboundData = [&](TRelayConnection&) { outbound.fetch_add(1); };
  relay.OnDisconnect = [&](TRelayConnection&) { disconnects.fetch_add(1); };
  relay.Activate();

  SocketError e;
  SocketHandle c = platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e);
  ASSERT_NE(c, platform::kInvalidSocket);
  ASSERT_TRUE(platform::SendAll(c, "first", 5, &e));
  ASSERT_TRUE(test::WaitUntil([&] { return started.load(); }, 5000));
  std::shared_ptr<TRelayConnection> conn;
  relay.ForEachConnection([&](const std::shared_ptr<TRelayConnection>& x) { conn = x; });
  ASSERT_TRUE(conn);
  conn->Detach();
  EXPECT_TRUE(finished.load());
  EXPECT_TRUE(conn->Detached());
  EXPECT_EQ(ReadExactly(c, 5), "first");
  ASSERT_TRUE(platform::SendAll(c, "second", 6, &e));
  EXPECT_EQ(ReadExactly(c, 6), "second");
  platform::Close(c);
  relay.Deactivate();
  EXPECT_EQ(executes.load(), 1);
  EXPECT_EQ(outbound.load(), 0);
  EXPECT_EQ(disconnects.load(), 0);
}

// Work a handler leaves for after its chunk (afterForward) runs once the chunk has been sent
// on: the target has the bytes by then. Chunks whose handler leaves nothing get no call.
TEST(Relay, WorkLeftForAfterTheChunkRunsOnceItHasBeenForwarded) {
  SocketError e;
  SocketHandle target = platform::ListenTcp(0, 4, &e);
  ASSERT_NE(target, platform::kInvalidSocket);
  std::atomic<size_t> received{0};
  SocketHandle wake = platform::CreateWakeHandle();
  std::thread server([&] {
    platform::AcceptedSocket a;
    SocketError err;
    if (!platform::AcceptTcp(target, wake, &a, &err)) return;
    char buf[4096];
    long n;
    while ((n = platform::Receive(a.socket, buf, sizeof buf, &err)) > 0) received += n;
    platform::Close(a.socket);
  });
  TRelayListener relay;
  relay.targetHost = "127.0.0.1";
  relay.targetPort = platform::LocalPort(target);
  std::atomic<size_t> handled{0};
  std::vector<size_t> seen_at_call;  // the connection's thread only
  relay.OnExecute = [&](TRelayConnection& c) {
    handled += c.chunk.size();
    c.afterForward = c.chunk[0] == 'w';
  };
  relay.OnForwarded = [&](TRelayConnection&) {
    // The bytes are on their way: give them a moment to arrive, bounded.
    test::WaitUntil([&] { return received.load() >= handled.load(); }, 2000);
    seen_at_call.push_back(received.load());
  };
  relay.Activate();
  SocketHandle c = platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e);
  ASSERT_NE(c, platform::kInvalidSocket);
  for (const std::string piece : {"work 1", "none", "work 2"}) {
    ASSERT_TRUE(platform::SendAll(c, piece.data(), piece.size(), &e));
    ASSERT_TRUE(test::WaitUntil([&] { return received.load() >= handled.load() &&
                                             handled.load() > 0; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // one chunk per piece
  }
  platform::Close(c);
  ASSERT_TRUE(test::WaitUntil([&] { return received.load() == 16; }, 5000));
  relay.Deactivate();
  platform::Wake(wake);
  server.join();
  platform::Close(target);
  platform::Close(wake);
  EXPECT_EQ(seen_at_call, (std::vector<size_t>{6, 16}));
}

TEST(SocketErrors, MapToWindowsSocketsCodes) {
  const auto reset = platform::SocketErrorFromSystem(104);  // ECONNRESET
  EXPECT_EQ(reset.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
  EXPECT_EQ(platform::SocketErrorFromSystem(32).code, 10054);   // EPIPE
  EXPECT_EQ(platform::SocketErrorFromSystem(103).code, 10053);  // ECONNABORTED
  EXPECT_EQ(platform::SocketErrorFromSystem(110).code, 10060);  // ETIMEDOUT
  EXPECT_EQ(platform::SocketErrorFromSystem(111).code, 10061);  // ECONNREFUSED
}

}  // namespace
}  // namespace qx::capture
