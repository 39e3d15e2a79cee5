// The replay engine. Each side pumps its socket: it reads (and checks) whatever the other
// side has sent while waiting to start its next step or while its own send is blocked, so
// that two sides sending at once can never fill each other's buffers and stall.
#include "replay.h"

#include <errno.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

namespace qxpeer {

namespace {

std::string Hex(const char* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(p[i]));
    if (i) s += ' ';
    s += b;
  }
  return s;
}

std::string U(uint64_t v) { return std::to_string(v); }

// Walks the other side's sends in script order and compares received bytes with them.
class Expectation {
 public:
  Expectation(const Script& script, Side me) : script_(script), peer_(Other(me)), me_(me) {
    total_ = StreamBytes(script, peer_);
    Skip();
  }

  uint64_t received() const { return received_; }
  uint64_t total() const { return total_; }

  // Checks n received bytes; returns "" or the description of the first difference.
  std::string Feed(const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (step_ >= script_.steps.size()) {
        return std::string("the ") + SideName(me_) + " received " + U(n - i) +
               " byte(s) more than the " + U(total_) + " the " + SideName(peer_) +
               " sent; first extra bytes: " + Hex(data + i, std::min<size_t>(n - i, 16));
      }
      const Step& s = script_.steps[step_];
      if (data[i] != s.bytes[offset_]) {
        const size_t avail = std::min<size_t>(n - i, 16);
        const size_t want = std::min<size_t>(s.bytes.size() - offset_, 16);
        return std::string("the ") + SideName(me_) + " received byte " + U(received_) +
               " of the " + SideName(peer_) + "'s stream wrong (offset " + U(offset_) +
               " of the send from frame " + U(s.frame) + ", " + U(s.bytes.size()) +
               " bytes): expected " + Hex(s.bytes.data() + offset_, want) + ", got " +
               Hex(data + i, avail);
      }
      ++received_;
      if (++offset_ == s.bytes.size()) {
        ++step_;
        offset_ = 0;
        Skip();
      }
    }
    return "";
  }

 private:
  void Skip() {
    while (step_ < script_.steps.size() &&
           (script_.steps[step_].from != peer_ || script_.steps[step_].kind != StepKind::kData ||
            script_.steps[step_].bytes.empty()))
      ++step_;
  }

  const Script& script_;
  Side peer_, me_;
  size_t step_ = 0, offset_ = 0;
  uint64_t received_ = 0, total_ = 0;
};

class SidePlayer {
 public:
  SidePlayer(int fd, const Script& script, Side me, const PlayOptions& options)
      : fd_(fd), script_(script), me_(me), timeout_ms_(options.timeout_ms),
        chunk_bytes_(options.chunk_bytes), chunk_gap_ms_(options.chunk_gap_ms), expect_(script, me) {
    const Step* close = CloseStep(script, Other(me));
    peer_resets_ = close != nullptr && close->kind == StepKind::kRst;
  }
  ~SidePlayer() { CloseFd(fd_); }

  SideResult Run() {
    for (const Step& s : script_.steps) {
      if (s.from != me_) continue;
      if (!WaitFor(s.need, s.need_peer_eof)) return Fail();
      if (s.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.delay_ms));
      if (s.kind == StepKind::kData) {
        if (!Send(s)) return Fail();
        if (s.statement) ++result_.statements;
      } else if (s.kind == StepKind::kFin) {
        ShutdownWrite(fd_);
      } else {
        // Wait until the peer has our bytes: a reset discards whatever is still queued.
        const int64_t deadline = NowMs() + timeout_ms_;
        while (UnsentBytes(fd_) > 0 && NowMs() < deadline) {
          bool r, w;
          std::string ignored;
          WaitReady(fd_, false, false, 5, &r, &w, &ignored);
        }
        AbortiveClose(fd_);
        fd_ = -1;
        result_.ok = true;
        result_.received = expect_.received();
        return result_;
      }
    }
    const bool peer_closes = CloseStep(script_, Other(me_)) != nullptr;
    if (!WaitFor(expect_.total(), peer_closes)) return Fail();
    result_.ok = true;
    result_.received = expect_.received();
    return result_;
  }

 private:
  SideResult Fail() {
    result_.ok = false;
    result_.received = expect_.received();
    return result_;
  }

  std::string Progress() const {
    return U(expect_.received()) + " of " + U(expect_.total()) + " bytes of the " +
           SideName(Other(me_)) + " received";
  }

  // Reads what is there without blocking. False (with the error set) when the stream is
  // wrong or broke.
  bool ReadSome() {
    char buf[65536];
    const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      std::string diff = expect_.Feed(buf, static_cast<size_t>(n));
      if (!diff.empty()) {
        result_.error = diff;
        return false;
      }
      return true;
    }
    if (n == 0) {
      ended_ = true;
      return true;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
    if (errno == ECONNRESET && peer_resets_ && expect_.received() == expect_.total()) {
      ended_ = true;
      return true;
    }
    result_.error = std::string("the ") + SideName(me_) + "'s connection failed (" +
                    ErrnoText(errno) + ") with " + Progress();
    return false;
  }

  bool WaitFor(uint64_t need, bool need_eof) {
    int64_t deadline = NowMs() + timeout_ms_;
    while (expect_.received() < need || (need_eof && !ended_)) {
      if (ended_) {
        result_.error = std::string("the ") + SideName(me_) + "'s connection was closed by the " +
                        "other end early, with " + Progress() + " (waiting for " + U(need) + ")";
        return false;
      }
      const int64_t left = deadline - NowMs();
      if (left <= 0) {
        result_.error = std::string("the ") + SideName(me_) + " timed out after " +
                        U(timeout_ms_ / 1000) + " s waiting for " +
                        (expect_.received() < need ? "byte " + U(need) + " of the " + SideName(Other(me_))
                                                   : std::string("the end of the stream")) +
                        ", with " + Progress();
        return false;
      }
      bool readable, writable;
      std::string error;
      if (!WaitReady(fd_, true, false, static_cast<int>(left), &readable, &writable, &error)) {
        if (!error.empty()) {
          result_.error = error;
          return false;
        }
        continue;
      }
      const uint64_t before = expect_.received();
      if (readable && !ReadSome()) return false;
      if (expect_.received() != before) deadline = NowMs() + timeout_ms_;
    }
    return true;
  }

  bool Send(const Step& s) {
    size_t off = 0;
    int64_t deadline = NowMs() + timeout_ms_;
    while (off < s.bytes.size()) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) {
        result_.error = std::string("the ") + SideName(me_) + " timed out sending (" + U(off) +
                        " of " + U(s.bytes.size()) + " bytes of the send from frame " + U(s.frame) +
                        " went out)";
        return false;
      }
      bool readable, writable;
      std::string error;
      if (!WaitReady(fd_, !ended_, true, static_cast<int>(left), &readable, &writable, &error)) {
        if (!error.empty()) {
          result_.error = error;
          return false;
        }
        continue;
      }
      if (readable) {
        const uint64_t before = expect_.received();
        if (!ReadSome()) return false;
        if (expect_.received() != before) deadline = NowMs() + timeout_ms_;
      }
      if (!writable) continue;
      size_t piece = s.bytes.size() - off;
      if (chunk_bytes_ > 0) {
        if (off > 0 && off % chunk_bytes_ == 0 && chunk_gap_ms_ > 0 && !gap_done_) {
          std::this_thread::sleep_for(std::chrono::milliseconds(chunk_gap_ms_));
          gap_done_ = true;
        }
        piece = std::min(piece, chunk_bytes_ - off % chunk_bytes_);
      }
      const ssize_t n = send(fd_, s.bytes.data() + off, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        off += static_cast<size_t>(n);
        gap_done_ = false;
        result_.sent += static_cast<uint64_t>(n);
        deadline = NowMs() + timeout_ms_;
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        result_.error = std::string("the ") + SideName(me_) + " could not send (" + ErrnoText(errno) +
                        ") after " + U(result_.sent) + " bytes, with " + Progress();
        return false;
      }
    }
    return true;
  }

  int fd_;
  const Script& script_;
  Side me_;
  int timeout_ms_;
  size_t chunk_bytes_;
  int chunk_gap_ms_;
  Expectation expect_;
  bool peer_resets_ = false;
  bool ended_ = false;
  bool gap_done_ = false;  // the pause before the current piece has been taken
  SideResult result_;
};

}  // namespace

SideResult PlaySide(int fd, const Script& script, Side me, const PlayOptions& options) {
  SidePlayer player(fd, script, me, options);
  return player.Run();
}

namespace {

// State shared by the threads of one RunSessions call, guarded by `mutex` except for the
// atomics.
struct RunState {
  const Script* script = nullptr;
  RunOptions options;
  PlayOptions play;
  int64_t start_ms = 0;
  int listen_fd = -1;
  std::atomic<int> next_session{0};
  std::atomic<int> to_accept{0};  // connections still expected at the listener
  std::atomic<int> settled{0};    // clients that have connected or failed to
  // One server worker at a time waits at the listener: thousands polling it at once would
  // spend the processors on waking each other.
  std::mutex accept_mutex;
  std::condition_variable all_settled;  // with mutex
  std::mutex mutex;
  RunResult result;

  void AddFailure(const std::string& text) {
    // Bounded: a run of thousands of failing sessions must not flood the report.
    if (result.failures.size() < 20) result.failures.push_back(text);
  }
};

bool StillExpecting(void* arg) { return static_cast<RunState*>(arg)->to_accept.load() > 0; }

void ClientWorker(RunState* st) {
  for (;;) {
    const int index = st->next_session.fetch_add(1);
    if (index >= st->options.sessions) return;
    if (st->options.connect_gap_ms > 0) {
      const int64_t wait = st->start_ms + static_cast<int64_t>(index) * st->options.connect_gap_ms - NowMs();
      if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
    std::string error;
    const int fd = Connect(st->options.relay, st->options.timeout_ms, &error);
    if (st->settled.fetch_add(1) + 1 >= st->options.sessions) {
      std::lock_guard<std::mutex> lock(st->mutex);
      st->all_settled.notify_all();
    }
    if (fd < 0) {
      st->to_accept.fetch_sub(1);
      std::lock_guard<std::mutex> lock(st->mutex);
      ++st->result.clients_failed;
      st->AddFailure("session " + U(index + 1) + ": the client could not connect: " + error);
      continue;
    }
    if (st->options.together) {
      std::unique_lock<std::mutex> lock(st->mutex);
      st->all_settled.wait_for(lock, std::chrono::milliseconds(st->options.timeout_ms),
                               [st] { return st->settled.load() >= st->options.sessions; });
    }
    const SideResult r = PlaySide(fd, *st->script, Side::kClient, st->play);
    std::lock_guard<std::mutex> lock(st->mutex);
    st->result.statements += r.statements;
    st->result.client_bytes += r.received;
    if (r.ok) {
      ++st->result.clients_ok;
    } else {
      ++st->result.clients_failed;
      st->AddFailure("session " + U(index + 1) + ": " + r.error);
    }
  }
}

void ServerWorker(RunState* st, std::atomic<int>* accepted) {
  while (st->to_accept.load() > 0) {
    std::string error;
    bool timed_out = false;
    int fd = -1;
    {
      std::lock_guard<std::mutex> lock(st->accept_mutex);
      if (st->to_accept.load() <= 0) return;
      fd = Accept(st->listen_fd, st->options.timeout_ms, StillExpecting, st, &error, &timed_out);
    }
    if (fd < 0) {
      if (!timed_out) {
        if (st->to_accept.load() <= 0) return;  // the last connection went to another worker
        std::lock_guard<std::mutex> lock(st->mutex);
        ++st->result.servers_failed;
        st->AddFailure("server side: " + error);
        return;
      }
      // Nothing came: count one missing connection and stop this worker.
      if (st->to_accept.fetch_sub(1) <= 0) return;
      std::lock_guard<std::mutex> lock(st->mutex);
      ++st->result.servers_failed;
      st->AddFailure("server side: " + error + " at " + ToString(st->options.listen));
      return;
    }
    const int number = accepted->fetch_add(1) + 1;
    if (st->to_accept.fetch_sub(1) <= 0) {
      CloseFd(fd);
      std::lock_guard<std::mutex> lock(st->mutex);
      ++st->result.servers_failed;
      st->AddFailure("server side: connection " + U(number) + " came beyond the " +
                     U(st->options.sessions) + " expected");
      continue;
    }
    const SideResult r = PlaySide(fd, *st->script, Side::kServer, st->play);
    std::lock_guard<std::mutex> lock(st->mutex);
    st->result.server_bytes += r.received;
    if (r.ok) {
      ++st->result.servers_ok;
    } else {
      ++st->result.servers_failed;
      st->AddFailure("server connection " + U(number) + ": " + r.error);
    }
  }
}

}  // namespace

RunResult RunSessions(const Script& script, const RunOptions& options) {
  RunState st;
  st.script = &script;
  st.options = options;
  if (st.options.sessions < 0) st.options.sessions = 0;
  if (st.options.concurrency < 1) st.options.concurrency = 1;
  if (st.options.concurrency > st.options.sessions) st.options.concurrency = std::max(1, st.options.sessions);
  st.play.timeout_ms = options.timeout_ms;
  st.play.chunk_bytes = options.chunk_bytes;
  st.play.chunk_gap_ms = options.chunk_gap_ms;
  st.result.sessions = st.options.sessions;
  st.to_accept = st.options.sessions;
  std::string error;
  st.listen_fd = Listen(options.listen, 4096, &error);
  if (st.listen_fd < 0) {
    st.result.clients_failed = st.options.sessions;
    st.result.failures.push_back("server side: " + error);
    return st.result;
  }
  std::atomic<int> accepted{0};
  st.start_ms = NowMs();
  std::vector<std::thread> threads;
  threads.reserve(2 * static_cast<size_t>(st.options.concurrency));
  for (int i = 0; i < st.options.concurrency; ++i) threads.emplace_back(ServerWorker, &st, &accepted);
  for (int i = 0; i < st.options.concurrency; ++i) threads.emplace_back(ClientWorker, &st);
  for (std::thread& t : threads) t.join();
  CloseFd(st.listen_fd);
  return st.result;
}

std::string Summary(const RunResult& r) {
  std::string s;
  s += "sessions: " + U(r.sessions) + ", client sides ok " + U(r.clients_ok) + " failed " +
       U(r.clients_failed) + ", server sides ok " + U(r.servers_ok) + " failed " +
       U(r.servers_failed) + "\n";
  s += "statements sent: " + U(r.statements) + "; bytes verified: " + U(r.client_bytes) +
       " at the clients, " + U(r.server_bytes) + " at the servers\n";
  for (const std::string& f : r.failures) s += "FAILED " + f + "\n";
  s += r.ok() ? "result: identical\n" : "result: FAILED\n";
  return s;
}

}  // namespace qxpeer
