// The session-number reserve and its refill thread.
#include "sql/session_numbers.h"

#include <chrono>

namespace qx::sql {

SessionNumbers::SessionNumbers(Draw draw, Report report, size_t block)
    : draw_(std::move(draw)), report_(std::move(report)), block_(block < 2 ? 2 : block) {
  next_key_ = static_cast<uint64_t>(
                  std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count())
              << 24;
  // The first block is drawn before the first connection can come (start-up), so that a
  // repository that works numbers connections in the order they start.
  for (size_t i = 0; i < block_; ++i) {
    try {
      ready_.push_back(draw_());
    } catch (const std::exception&) {
      break;  // the thread reports it and tries again
    }
  }
  thread_ = std::thread([this] { Run(); });
}

SessionNumbers::~SessionNumbers() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

double SessionNumbers::TryTake() {
  std::lock_guard<std::mutex> lock(mu_);
  if (ready_.empty()) return 0;
  const double n = ready_.front();
  ready_.pop_front();
  if (ready_.size() < block_ / 2) changed_.notify_all();
  return n;
}

uint64_t SessionNumbers::NewKey() {
  std::lock_guard<std::mutex> lock(mu_);
  return ++next_key_;
}

size_t SessionNumbers::Reserved() {
  std::lock_guard<std::mutex> lock(mu_);
  return ready_.size();
}

double SessionNumbers::Resolve(uint64_t key) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = resolved_.find(key);
    if (it != resolved_.end()) return it->second;
    if (!ready_.empty()) {
      const double n = ready_.front();
      ready_.pop_front();
      resolved_.emplace(key, n);
      changed_.notify_all();
      return n;
    }
  }
  const double n = draw_();  // throws: the caller keeps its rows and tries again later
  std::lock_guard<std::mutex> lock(mu_);
  return resolved_.emplace(key, n).first->second;
}

void SessionNumbers::Run() {
  using namespace std::chrono;
  milliseconds backoff(100);
  bool failing = false;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || ready_.size() < block_ / 2; });
    if (stopping_) return;
    lock.unlock();
    std::string error;
    std::deque<double> drawn;
    for (size_t i = 0; i < block_; ++i) {
      try {
        drawn.push_back(draw_());
      } catch (const std::exception& e) {
        error = e.what();
        break;
      }
    }
    if (!error.empty() && !failing) {
      report_("Session numbers cannot be drawn from the repository (connections are relayed "
              "and numbered when their rows are written): " + error);
    } else if (error.empty() && failing) {
      report_("Session numbers are drawn from the repository again.");
    }
    failing = !error.empty();
    lock.lock();
    for (double n : drawn) ready_.push_back(n);
    if (failing) {
      changed_.wait_for(lock, backoff, [this] { return stopping_; });
      backoff = std::min(backoff * 2, milliseconds(5000));
    } else {
      backoff = milliseconds(100);
    }
  }
}

}  // namespace qx::sql
