// The decoder on real thin clients: python-oracledb and node-oracledb run their workloads (with
// the extra statements of QX_WORKLOAD_MORE) against the stand-in through a loopback tap that
// records both directions in order; the recorded bytes are decoded and every execution the
// workload printed must come out, in order, byte for byte, re-executions by cursor included.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "oranet/session_trace.h"
#include "support/thin_clients.h"

namespace qx::test {
namespace {

int Listen(int* port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0) {
    close(s);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return s;
}

int ConnectLoopback(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Relays the connections made to port() to the target, one at a time, recording each one's
// chunks in the order they were read. Stops after 180 s at the latest.
class Tap {
 public:
  explicit Tap(int target) : target_(target) {
    listener_ = Listen(&port_);
    if (listener_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~Tap() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
  }
  int port() const { return port_; }
  std::vector<CaptureConnection> Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }

 private:
  void Run() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      const int server = ConnectLoopback(target_);
      if (server < 0) {
        close(client);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.push_back({});
      }
      Relay(client, server, deadline);
      close(client);
      close(server);
    }
  }

  void Relay(int client, int server, std::chrono::steady_clock::time_point deadline) {
    bool open[2] = {true, true};
    char buf[65536];
    while ((open[0] || open[1]) && !stop_ && std::chrono::steady_clock::now() < deadline) {
      pollfd p[2] = {{client, static_cast<short>(open[0] ? POLLIN : 0), 0},
                     {server, static_cast<short>(open[1] ? POLLIN : 0), 0}};
      if (poll(p, 2, 100) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t n = read(p[i].fd, buf, sizeof buf);
        if (n <= 0) {
          open[i] = false;
          shutdown(i == 0 ? server : client, SHUT_WR);
          continue;
        }
        {
          std::lock_guard<std::mutex> lock(mutex_);
          connections_.back().chunks.push_back(
              {i == 0 ? oranet::Direction::kToServer : oranet::Direction::kToClient,
               std::string(buf, static_cast<size_t>(n))});
        }
        const int to = i == 0 ? server : client;
        for (ssize_t off = 0; off < n;) {
          const ssize_t w = write(to, buf + off, static_cast<size_t>(n - off));
          if (w <= 0) break;
          off += w;
        }
      }
    }
  }

  int target_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<CaptureConnection> connections_;
};

class ThinDecode : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!ClientPresent(GetParam())) GTEST_SKIP() << ClientMissingReason(GetParam());
  }
  TempDir dir_;
};

TEST_P(ThinDecode, EveryExecutionComesOutAsTheClientWroteIt) {
  Standin standin(dir_);
  ASSERT_GT(standin.port(), 0);
  Tap tap(standin.port());
  ASSERT_GT(tap.port(), 0);
  setenv("QX_WORKLOAD_MORE", "1", 1);
  const WorkloadResult run = RunWorkload(GetParam(), tap.port());
  unsetenv("QX_WORKLOAD_MORE");
  ASSERT_EQ(run.code, 0) << run.output;
  ASSERT_EQ(run.executions.size(), 26u) << run.output;
  // The client has closed; the tap records the last bytes soon after.
  std::vector<CaptureConnection> conns;
  ASSERT_TRUE(WaitUntil(
      [&] {
        conns = tap.Connections();
        return conns.size() == 1 && !conns[0].chunks.empty();
      },
      10000));
  SleepMs(300);
  conns = tap.Connections();

  for (const size_t piece : {size_t{0}, size_t{7}}) {
    SCOPED_TRACE(piece == 0 ? "as read" : "in 7-byte pieces");
    TraceSink sink(true);
    oranet::SessionDecoder decoder(sink);
    for (const Chunk& c : conns[0].chunks) {
      const size_t step = piece == 0 ? c.bytes.size() : piece;
      for (size_t i = 0; i < c.bytes.size(); i += step)
        decoder.Feed(c.direction, std::string_view(c.bytes).substr(i, step));
    }
    decoder.Finish();
    std::vector<std::string> expected;
    for (const std::string& e : run.executions) expected.push_back(Unescape(e));
    EXPECT_EQ(sink.executionTexts, expected);
    // Repeated statements ran on their parsed cursors.
    size_t byCursor = 0;
    for (const oranet::Event& e : sink.executions) {
      EXPECT_FALSE(e.unknownCursor);
      if (e.cursor != 0) ++byCursor;
    }
    EXPECT_GE(byCursor, 6u);
    const auto has = [&](const std::string& line) {
      return std::find(sink.lines.begin(), sink.lines.end(), line) != sink.lines.end();
    };
    EXPECT_TRUE(has(std::string("user ") + kStandinUser));
    EXPECT_TRUE(has("logon ok"));
    EXPECT_TRUE(has("commit"));
    EXPECT_TRUE(has("rollback"));
    EXPECT_TRUE(has("logoff"));
    EXPECT_TRUE(has("end client"));
    EXPECT_EQ(decoder.stats().fallbacks, 0u);
    EXPECT_EQ(decoder.stats().framingErrors, 0u);
    EXPECT_EQ(decoder.stats().executions, run.executions.size());
    if (std::getenv("QX_ORANET_DUMP") != nullptr && piece == 0) {
      for (const auto& l : sink.lines) printf("%s\n", l.substr(0, 160).c_str());
    }
    if (HasFailure()) {
      for (const auto& l : sink.lines) ADD_FAILURE() << l.substr(0, 200);
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Clients, ThinDecode, ::testing::Values("python", "node"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace qx::test
