// SHA-1 hash texts of statements (the platform's SHA-1) and the statement cache.
#include "sql/sql_hash.h"

#include <iterator>
#include <stdexcept>

#include "platform/sha1.h"

namespace qx::sql {

std::string GetSQLHash(std::string_view text) {
  unsigned char digest[platform::kSha1Size];
  if (!platform::Sha1(text.data(), text.size(), digest)) {
    // Only a broken system library gets here; storing under a wrong hash would merge statements.
    throw std::runtime_error("SHA-1 digest is unavailable");
  }
  std::string out;
  out.reserve(45);
  for (int i = 0; i < 15; ++i) out += std::to_string(static_cast<unsigned>(digest[i]));
  return out;
}

TSQLCache::TSQLCache(int capacity) : capacity_(capacity < 0 ? 0 : static_cast<size_t>(capacity)) {}

std::optional<TSQLData> TSQLCache::Find(std::string_view hash) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = index_.find(std::string(hash));
  if (it == index_.end()) return std::nullopt;
  return *it->second.newest;
}

void TSQLCache::Add(TSQLData entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  order_.push_front(std::move(entry));
  IndexEntry& slot = index_[order_.front().sqlhash];
  slot.newest = order_.begin();
  ++slot.count;
  // At most one entry over capacity: the one added just now pushed out the oldest (or, with
  // capacity 0, itself).
  if (order_.size() > capacity_) {
    const auto oldest = std::prev(order_.end());
    const auto found = index_.find(oldest->sqlhash);
    if (found != index_.end() && --found->second.count == 0) index_.erase(found);
    order_.erase(oldest);
  }
}

std::vector<TSQLData> TSQLCache::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {order_.begin(), order_.end()};
}

size_t TSQLCache::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return order_.size();
}

}  // namespace qx::sql
