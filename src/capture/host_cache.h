// Remembers for a while what host names resolved to.
//
// The relay resolves the host name that each client writes into its connect descriptor,
// while that client's connect packet waits. A name the DNS server does not answer for holds
// the login up for the resolver's whole time-out (seconds), and the workstations that log in
// all day are few; so answers, failures included, are kept for keep_ms and the next logins
// of the same name cost nothing.
//
// Threading: Resolve() may be called from any number of threads; one mutex guards the map
// and is never held while the resolver runs (two threads asking for a new name at once may
// both resolve it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qx::capture {

class HostAddressCache {
 public:
  // Returns the dotted IPv4 address of a name, "" when it does not resolve.
  using Resolver = std::function<std::string(const std::string& host)>;

  explicit HostAddressCache(Resolver resolver, uint32_t keep_ms = 60000,
                            size_t capacity = 4096);

  // `now_ms` is a millisecond tick that may wrap around.
  std::string Resolve(const std::string& host, uint32_t now_ms);

 private:
  struct Answer {
    std::string ip;
    uint32_t at_ms;
  };
  const Resolver resolver_;
  const uint32_t keep_ms_;
  const size_t capacity_;
  std::mutex mu_;
  std::unordered_map<std::string, Answer> answers_;  // guarded by mu_
};

}  // namespace qx::capture
