// The benchmarks. Both sides use plain blocking sockets with time-outs so that the peer adds
// as little of its own cost as possible to what is measured; received bytes are still compared
// with what was sent.
#include "bench.h"

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "generate.h"

namespace qxpeer {

namespace {

// Plays the login prefix of a generated session (everything before the first statement)
// strictly in turn; both sides call it with their own side.
bool Handshake(int fd, const Script& script, Side me, std::string* error) {
  std::vector<char> buf;
  for (const Step& s : script.steps) {
    if (s.statement || s.kind != StepKind::kData) break;
    if (s.from == me) {
      if (!WriteAll(fd, s.bytes.data(), s.bytes.size(), error)) return false;
    } else {
      buf.resize(s.bytes.size());
      if (!ReadExact(fd, buf.data(), buf.size(), error)) return false;
      if (std::memcmp(buf.data(), s.bytes.data(), buf.size()) != 0) {
        *error = "login bytes differ";
        return false;
      }
    }
  }
  return true;
}

Script LoginScript(const BenchOptions& o) {
  GenerateOptions g;
  g.framing = o.framing;
  g.statements = 0;
  return GenerateSession(g);
}

// The server side of one benchmark; `error` and `ok` belong to its thread until joined.
struct ServerHalf {
  std::thread thread;
  std::string error;
  bool ok = false;
  std::atomic<bool> client_gave_up{false};  // set when the client could not connect
};

bool ClientStillComing(void* arg) { return !static_cast<ServerHalf*>(arg)->client_gave_up.load(); }

template <typename Body>
bool StartServer(const BenchOptions& o, ServerHalf* half, std::string* error, Body body) {
  const int lfd = Listen(o.listen, 16, error);
  if (lfd < 0) return false;
  half->thread = std::thread([lfd, o, half, body]() {
    bool timed_out = false;
    const int fd = Accept(lfd, o.timeout_ms, ClientStillComing, half, &half->error, &timed_out);
    CloseFd(lfd);
    if (fd < 0) return;
    SetTimeouts(fd, o.timeout_ms);
    half->ok = body(fd, &half->error);
    CloseFd(fd);
  });
  return true;
}

int ClientConnect(const BenchOptions& o, ServerHalf* server, std::string* error) {
  const int fd = Connect(o.relay, o.timeout_ms, error);
  if (fd >= 0) SetTimeouts(fd, o.timeout_ms);
  else server->client_gave_up = true;
  return fd;
}

bool Finish(int fd, Framing framing, std::string* error) {
  const std::string end = EndPacket(framing);
  if (!WriteAll(fd, end.data(), end.size(), error)) return false;
  ShutdownWrite(fd);
  return ReadEnd(fd, error);
}

bool ServerFinish(int fd, Framing framing, std::string* error) {
  const std::string end = EndPacket(framing);
  std::string got(end.size(), '\0');
  if (!ReadExact(fd, got.data(), got.size(), error)) return false;
  if (got != end) {
    *error = "the end packet differs";
    return false;
  }
  ShutdownWrite(fd);
  return ReadEnd(fd, error);
}

}  // namespace

RttResult BenchRtt(const BenchOptions& o) {
  RttResult result;
  const Script login = LoginScript(o);
  const std::string request = DataPackets(ExecuteCall(o.statement, 3), o.framing, false);
  const std::string reply = StatementReply(o.framing, o.reply_size, 1);
  ServerHalf server;
  auto serve = [login, request, reply, o](int fd, std::string* error) {
    if (!Handshake(fd, login, Side::kServer, error)) return false;
    std::string got(request.size(), '\0');
    for (uint64_t i = 0; i < o.count; ++i) {
      if (!ReadExact(fd, got.data(), got.size(), error)) return false;
      if (got != request) {
        *error = "statement " + std::to_string(i + 1) + " arrived changed";
        return false;
      }
      if (!WriteAll(fd, reply.data(), reply.size(), error)) return false;
    }
    return ServerFinish(fd, o.framing, error);
  };
  if (!StartServer(o, &server, &result.error, serve)) return result;
  const int fd = ClientConnect(o, &server, &result.error);
  bool ok = fd >= 0 && Handshake(fd, login, Side::kClient, &result.error);
  std::vector<double> rtt;
  rtt.reserve(o.count);
  std::string got(reply.size(), '\0');
  const int64_t start = NowUs();
  for (uint64_t i = 0; ok && i < o.count; ++i) {
    const int64_t t0 = NowUs();
    ok = WriteAll(fd, request.data(), request.size(), &result.error) &&
         ReadExact(fd, got.data(), got.size(), &result.error);
    if (ok && got != reply) {
      result.error = "answer " + std::to_string(i + 1) + " arrived changed";
      ok = false;
    }
    rtt.push_back(static_cast<double>(NowUs() - t0));
  }
  const int64_t stop = NowUs();
  if (ok) ok = Finish(fd, o.framing, &result.error);
  if (fd >= 0) CloseFd(fd);
  server.thread.join();
  if (!server.ok && result.error.empty()) result.error = "server side: " + server.error;
  result.ok = ok && server.ok;
  if (!result.ok || rtt.empty()) return result;
  std::sort(rtt.begin(), rtt.end());
  result.count = rtt.size();
  result.seconds = static_cast<double>(stop - start) / 1e6;
  result.per_second = result.seconds > 0 ? static_cast<double>(rtt.size()) / result.seconds : 0;
  result.median_us = rtt[rtt.size() / 2];
  result.p99_us = rtt[std::min(rtt.size() - 1, rtt.size() * 99 / 100)];
  return result;
}

BulkResult BenchBulk(const BenchOptions& o) {
  BulkResult result;
  const Script login = LoginScript(o);
  const std::string request = DataPackets(ExecuteCall(o.statement, 3), o.framing, false);
  // One full-size DATA packet, sent over and over.
  const std::string packet = DataPackets(std::string(8192 - 10, '\x5a'), o.framing, true);
  const uint64_t packets = std::max<uint64_t>(1, (o.bytes + packet.size() - 1) / packet.size());
  const uint64_t total = packets * packet.size();
  ServerHalf server;
  auto serve = [login, request, packet, packets, o](int fd, std::string* error) {
    if (!Handshake(fd, login, Side::kServer, error)) return false;
    std::string got(request.size(), '\0');
    if (!ReadExact(fd, got.data(), got.size(), error)) return false;
    if (got != request) {
      *error = "the statement arrived changed";
      return false;
    }
    // Larger writes cost fewer system calls; a batch of 16 packets is 128 KiB.
    std::string batch;
    for (int i = 0; i < 16; ++i) batch += packet;
    uint64_t left = packets;
    while (left > 0) {
      const uint64_t n = std::min<uint64_t>(left, 16);
      if (!WriteAll(fd, batch.data(), n * packet.size(), error)) return false;
      left -= n;
    }
    return ServerFinish(fd, o.framing, error);
  };
  if (!StartServer(o, &server, &result.error, serve)) return result;
  const int fd = ClientConnect(o, &server, &result.error);
  bool ok = fd >= 0 && Handshake(fd, login, Side::kClient, &result.error);
  std::vector<char> buf(256 * 1024);
  uint64_t received = 0;
  const int64_t start = NowUs();
  if (ok) ok = WriteAll(fd, request.data(), request.size(), &result.error);
  while (ok && received < total) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), total - received));
    const ssize_t r = recv(fd, buf.data(), want, 0);
    if (r <= 0) {
      result.error = r == 0 ? "connection closed after " + std::to_string(received) + " bytes"
                            : "receive failed: " + ErrnoText(errno);
      ok = false;
      break;
    }
    // Compare against the repeating packet, piece by piece.
    size_t done = 0;
    while (done < static_cast<size_t>(r)) {
      const size_t at = static_cast<size_t>((received + done) % packet.size());
      const size_t n = std::min(static_cast<size_t>(r) - done, packet.size() - at);
      if (std::memcmp(buf.data() + done, packet.data() + at, n) != 0) {
        result.error = "bulk data differs near byte " + std::to_string(received + done);
        ok = false;
        break;
      }
      done += n;
    }
    received += static_cast<uint64_t>(r);
  }
  const int64_t stop = NowUs();
  if (ok) ok = Finish(fd, o.framing, &result.error);
  if (fd >= 0) CloseFd(fd);
  server.thread.join();
  if (!server.ok && result.error.empty()) result.error = "server side: " + server.error;
  result.ok = ok && server.ok;
  result.bytes = received;
  result.seconds = static_cast<double>(stop - start) / 1e6;
  result.mb_per_s = result.seconds > 0 ? static_cast<double>(received) / 1e6 / result.seconds : 0;
  return result;
}

}  // namespace qxpeer
