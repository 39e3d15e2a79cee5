// Accept loop and connection threads of the stand-in server.
#include "listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace standin {

bool Listener::Open(const std::string& host, int port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) {
    *error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return false;
  }
  sockaddr_in addr = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd_, 64) != 0) {
    *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + strerror(errno);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  return true;
}

void Listener::Run() {
  int number = 0;
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      // Out of descriptors or the like: give running connections a moment to end.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    const int n = ++number;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_.insert(client);
      ++active_;
    }
    std::thread([this, client, n] {
      RunSession(client, n, config_, log_);
      std::lock_guard<std::mutex> lock(mutex_);
      open_.erase(client);
      close(client);
      --active_;
    }).detach();
  }
  close(fd_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int s : open_) shutdown(s, SHUT_RDWR);
  }
  for (int waited = 0; waited < 5000; waited += 20) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (active_ == 0) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace standin
