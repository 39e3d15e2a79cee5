// Statement identity for the catalogue: the hash text of a statement and the cache of the
// catalogue entries added most recently.
//
// Hash text: the first 15 bytes of the SHA-1 digest of the statement's exact bytes, each written
// in unsigned decimal without leading zeros and concatenated (15 to 45 characters). It is not
// unique ("1","23" and "12","3" both give "123"); texts with equal hash texts are one catalogue
// statement, which is the repository's established keying and must stay so.
//
// The cache is first in, first out: it holds the `capacity` entries most recently added, a hit
// does not move an entry, and the newest entry with a given hash is the one a lookup returns.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qx::sql {

// Thread-safe: every call computes its own digest (no shared digest state). Throws
// std::runtime_error only when the system cannot compute SHA-1 at all.
std::string GetSQLHash(std::string_view text);

struct TSQLData {
  double id = 0;        // id in qx_client_sql
  std::string sqlhash;  // GetSQLHash of the statement
};

// Shared by every connection of every service. One internal mutex guards the order and the
// index; each call holds it only for its own few steps, so callers need no lock of their own
// for the cache. (Keeping a lookup and the insert that follows a miss together — so that two
// threads do not both insert one new statement — is the catalogue's job, not the cache's.)
class TSQLCache {
 public:
  // A negative capacity counts as 0: every entry then leaves right after it is added.
  explicit TSQLCache(int capacity);

  TSQLCache(const TSQLCache&) = delete;
  TSQLCache& operator=(const TSQLCache&) = delete;

  // The newest entry whose sqlhash equals `hash` byte for byte, without moving it.
  std::optional<TSQLData> Find(std::string_view hash) const;

  // Puts the entry at the front; when that makes more than `capacity` entries, the oldest one
  // is discarded.
  void Add(TSQLData entry);

  // The entries, newest first.
  std::vector<TSQLData> Entries() const;
  size_t Size() const;
  size_t Capacity() const { return capacity_; }

 private:
  using Order = std::list<TSQLData>;
  // Equal hashes may be added more than once (two threads missing on one new statement);
  // entries of one hash leave oldest first, so the newest of them stays valid until the last
  // one leaves and the count reaches 0.
  struct IndexEntry {
    Order::iterator newest;
    size_t count = 0;
  };

  const size_t capacity_;
  mutable std::mutex mutex_;
  Order order_;  // newest first
  std::unordered_map<std::string, IndexEntry> index_;
};

}  // namespace qx::sql
