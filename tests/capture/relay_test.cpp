// The relay mechanism on loopback: bytes unchanged both ways, handler order, errors routed.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

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
