// The decoder in steady state allocates nothing per packet: once a connection's buffers have
// grown, re-executing, fetching and re-parsing statements of the same sizes goes without a
// single heap allocation. Neither does a relayed connection's monitor for the chunks that
// complete no statement (fetches and their answers), nor the relay's own work per chunk.
// Counted with a replacement of the global
// operator new that only counts while a test asks it to.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "capture/monitor.h"
#include "capture/relay.h"
#include "oranet/decoder.h"
#include "platform/net.h"
#include "sql/store_support.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<size_t> g_allocations{0};
// Counting on one thread only (the relay's connection thread, which the test cannot start
// itself): set there, counted into g_thread_allocations.
thread_local bool t_counting = false;
std::atomic<size_t> g_thread_allocations{0};
}  // namespace

void* operator new(size_t n) {
  if (t_counting) g_thread_allocations.fetch_add(1);
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
// The nothrow forms too, so that every pointer freed below came from malloc (the standard
// library's temporary buffers use them).
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  if (t_counting) g_thread_allocations.fetch_add(1);
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace qx::test {
namespace {

std::string UB(uint64_t v) {
  if (v == 0) return std::string(1, '\0');
  std::string b;
  while (v) { b.insert(b.begin(), char(v & 0xFF)); v >>= 8; }
  return char(b.size()) + b;
}
std::string Data(const std::string& payload) {
  const size_t n = payload.size() + 10;
  return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n), 6, 0, 0, 0, 0, 0} +
         payload;
}
std::string Oall8(uint8_t seq, uint32_t options, uint32_t cursor, const std::string& sql) {
  std::string m = {0x03, 0x5E, char(seq)};
  m += UB(options) + UB(cursor);
  m += sql.empty() ? std::string(1, '\0') + UB(0) : "\x01" + UB(sql.size());
  m += "\x01" + UB(13) + std::string(2, '\0') + UB(0) + UB(2) + UB(0x7FFFFFFF);
  m += std::string(1, '\0') + UB(0) + std::string(6, '\0') + UB(0) + UB(0);
  m += std::string("\x00\x01\x00", 3) + UB(0) + std::string(1, '\0') + UB(0) + UB(0);
  m += std::string(1, '\0') + UB(0) + std::string(1, '\0');
  m += sql.empty() ? UB(0) : char(sql.size()) + sql + UB(1);
  for (int i = 1; i < 13; ++i) m += UB(0);
  return Data(m);
}
std::string Status(uint32_t cursor, uint32_t error = 0) {
  std::string m = "\x04" + UB(0) + UB(0) + UB(1) + UB(error) + UB(0) + UB(0) + UB(cursor) +
                  std::string(20, '\0');
  if (error == 1403) m += std::string("\x19ORA-01403: no data found\n");
  return Data(m);
}

struct CountingSink : oranet::EventSink {
  size_t executions = 0;
  void OnEvent(const oranet::Event& e) override {
    if (e.kind == oranet::EventKind::kExecution && !e.text.empty()) ++executions;
  }
};

TEST(OranetDecoderAllocations, SteadyStateAllocatesNothing) {
  CountingSink sink;
  oranet::SessionDecoder d(sink);
  // CONNECT, ACCEPT 317, thin negotiation.
  std::string connect(58, '\0');
  connect[1] = 58; connect[4] = 1; connect[8] = 0x01; connect[9] = 0x3d;
  d.Feed(oranet::Direction::kToServer, connect);
  std::string accept(36, '\0');
  accept[1] = 36; accept[4] = 2; accept[8] = 0x01; accept[9] = 0x3d; accept[12] = 0x20;
  d.Feed(oranet::Direction::kToClient, accept);
  d.Feed(oranet::Direction::kToServer, Data(std::string("\x01\x06\x00node\x00", 8)));
  const std::string sql = "SELECT id, item FROM orders WHERE id = :id";
  // Everything a round sends, prepared before counting.
  const std::string parse = Oall8(2, 0x61, 0, sql), parsed = Status(5, 1403);
  const std::string reexec = std::string("\x03\x4e\x03", 3) + UB(5) + UB(1) + UB(0) + UB(0);
  const std::string reexecPacket = Data(reexec), fetch = Oall8(4, 0x40, 5, "");
  std::string round[6] = {parse, parsed, reexecPacket, parsed, fetch, parsed};
  auto feedRound = [&] {
    for (int i = 0; i < 6; ++i)
      d.Feed(i % 2 ? oranet::Direction::kToClient : oranet::Direction::kToServer, round[i]);
    // The same round again, split across feeds (the framer's carry buffer).
    for (int i = 0; i < 6; ++i) {
      const auto dir = i % 2 ? oranet::Direction::kToClient : oranet::Direction::kToServer;
      d.Feed(dir, std::string_view(round[i]).substr(0, 5));
      d.Feed(dir, std::string_view(round[i]).substr(5));
    }
  };
  for (int i = 0; i < 3; ++i) feedRound();  // buffers grow to their sizes
  const size_t before = sink.executions;
  g_allocations = 0;
  g_counting = true;
  for (int i = 0; i < 100; ++i) feedRound();
  g_counting = false;
  EXPECT_EQ(g_allocations.load(), 0u);
  EXPECT_EQ(sink.executions - before, 400u);  // parse-and-execute and re-execute, twice a round
}

// A relayed connection's monitor after its statement ran: the client fetches, the server
// answers in two chunks (the second starting inside the packet), a hundred times over, and
// not one of those chunks allocates.
TEST(OranetDecoderAllocations, FetchChunksThroughTheMonitorAllocateNothing) {
  ServiceFixture f;
  service::TServiceData& service = AddServiceRecord(f, 1, "ORCL");
  auto record = NewRecord(&service, 1);
  capture::ConnectionMonitor m(f.svc, *record, capture::MonitorMode::kActive);
  std::string connect(58, '\0');
  connect[1] = 58; connect[4] = 1; connect[8] = 0x01; connect[9] = 0x3d;
  std::string accept(36, '\0');
  accept[1] = 36; accept[4] = 2; accept[8] = 0x01; accept[9] = 0x3d; accept[12] = 0x20;
  int64_t ms = 1000;
  m.ToServer(connect, ++ms);
  m.ToClient(accept, ++ms);
  m.ToServer(Data(std::string("\x01\x06\x00node\x00", 8)), ++ms);
  m.ToServer(Oall8(2, 0x61, 0, "SELECT id, item FROM orders WHERE id = :id"), ++ms);
  m.ToClient(Status(5), ++ms);
  m.StoreCompleted();
  ASSERT_EQ(record->historyQueue->size(), 1u);
  const std::string fetch = Oall8(4, 0x40, 5, "");
  const std::string answer = Data(std::string(3000, 'r')) + Status(5, 1403);
  auto round = [&] {
    m.ToServer(fetch, ++ms);
    if (m.HasCompleted()) m.StoreCompleted();
    m.ToClient(std::string_view(answer).substr(0, 1200), ++ms);
    m.ToClient(std::string_view(answer).substr(1200), ++ms);
    if (m.HasCompleted()) m.StoreCompleted();
  };
  for (int i = 0; i < 3; ++i) round();
  g_allocations = 0;
  g_counting = true;
  for (int i = 0; i < 100; ++i) round();
  g_counting = false;
  EXPECT_EQ(g_allocations.load(), 0u);
  EXPECT_EQ(record->historyQueue->size(), 1u);  // fetches are no executions
}

// The relay's own work per chunk (waiting for both sockets, receiving, calling the handlers,
// sending) allocates nothing: counted on the connection's thread from its 11th client chunk
// to its 211th, through an echoing target, one small message at a time.
TEST(RelayAllocations, AChunksWayThroughTheRelayAllocatesNothing) {
  platform::SocketError e;
  platform::SocketHandle listener = platform::ListenTcp(0, 4, &e);
  ASSERT_NE(listener, platform::kInvalidSocket);
  platform::SocketHandle wake = platform::CreateWakeHandle();
  std::thread echo([&] {
    platform::AcceptedSocket a;
    platform::SocketError err;
    if (!platform::AcceptTcp(listener, wake, &a, &err)) return;
    char buf[256];
    long n;
    while ((n = platform::Receive(a.socket, buf, sizeof buf, &err)) > 0) {
      if (!platform::SendAll(a.socket, buf, static_cast<size_t>(n), &err)) break;
    }
    platform::Close(a.socket);
  });
  capture::TRelayListener relay;
  relay.targetHost = "127.0.0.1";
  relay.targetPort = platform::LocalPort(listener);
  std::atomic<int> chunks{0};
  std::atomic<size_t> counted{~size_t{0}};
  relay.OnExecute = [&](capture::TRelayConnection&) {
    const int n = chunks.fetch_add(1) + 1;
    if (n == 11) {
      g_thread_allocations = 0;
      t_counting = true;
    } else if (n == 211) {
      t_counting = false;
      counted = g_thread_allocations.load();
    }
  };
  relay.OnOutboundData = [](capture::TRelayConnection&) {};
  relay.Activate();
  platform::SocketHandle c = platform::ConnectTcp("127.0.0.1", relay.LocalPort(), &e);
  ASSERT_NE(c, platform::kInvalidSocket);
  char back[16];
  for (int i = 0; i < 220; ++i) {
    ASSERT_TRUE(platform::SendAll(c, "ping 12345", 10, &e));
    size_t got = 0;
    while (got < 10) {
      const long r = platform::Receive(c, back + got, sizeof back - got, &e);
      ASSERT_GT(r, 0);
      got += static_cast<size_t>(r);
    }
  }
  platform::Close(c);
  relay.Deactivate();
  platform::Wake(wake);
  echo.join();
  platform::Close(listener);
  platform::Close(wake);
  EXPECT_GE(chunks.load(), 211);
  EXPECT_EQ(counted.load(), 0u);
}

}  // namespace
}  // namespace qx::test
