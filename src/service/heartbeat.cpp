// The heartbeat thread.
#include "service/heartbeat.h"

#include "platform/platform.h"
#include "service/catalogue.h"
#include "service/service.h"

namespace qx::service {

Heartbeat::Heartbeat(TQuorvexService& svc) : svc_(svc) {
  thread_ = std::thread([this] { Run(); });
}

Heartbeat::~Heartbeat() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Heartbeat::Request(int tag) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    pending_.insert(tag);
  }
  changed_.notify_all();
}

void Heartbeat::Run() {
  platform::LowerThreadPriority();
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (stopping_) return;
    const int tag = *pending_.begin();
    pending_.erase(pending_.begin());
    lock.unlock();
    try {
      StatusHeartbeat(svc_, tag);
      if (failing_) svc_.ReportError("The status heartbeat is written to the repository again.");
      failing_ = false;
    } catch (const std::exception& e) {
      if (!failing_) {
        svc_.ReportError(std::string("The status heartbeat cannot be written to the repository: ") +
                         e.what());
      }
      failing_ = true;
    }
    lock.lock();
  }
}

}  // namespace qx::service
