// The host-name cache of the relay.
#include "capture/host_cache.h"

#include <utility>

namespace qx::capture {

HostAddressCache::HostAddressCache(Resolver resolver, uint32_t keep_ms, size_t capacity)
    : resolver_(std::move(resolver)), keep_ms_(keep_ms), capacity_(capacity) {}

std::string HostAddressCache::Resolve(const std::string& host, uint32_t now_ms) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = answers_.find(host);
    // Unsigned subtraction keeps the age right across a wrap of the tick.
    if (it != answers_.end() && now_ms - it->second.at_ms < keep_ms_) return it->second.ip;
  }
  std::string ip = resolver_(host);
  std::lock_guard<std::mutex> lock(mu_);
  // Names are few in practice; a flood of made-up ones only empties the cache now and then.
  if (answers_.size() >= capacity_) answers_.clear();
  answers_[host] = Answer{ip, now_ms};
  return ip;
}

}  // namespace qx::capture
