// POSIX implementation of the peer's socket helpers.
#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <chrono>
#include <cstring>

namespace qxpeer {

namespace {

bool ToSockaddr(const Endpoint& e, sockaddr_in* sa, std::string* error) {
  std::memset(sa, 0, sizeof *sa);
  sa->sin_family = AF_INET;
  sa->sin_port = htons(e.port);
  const std::string host = e.host == "localhost" ? "127.0.0.1" : e.host;
  if (inet_pton(AF_INET, host.c_str(), &sa->sin_addr) != 1) {
    *error = "not an IPv4 address: " + e.host;
    return false;
  }
  return true;
}

}  // namespace

bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    *error = "expected HOST:PORT, got \"" + text + "\"";
    return false;
  }
  const std::string port = text.substr(colon + 1);
  unsigned long value = 0;
  for (char c : port) {
    if (c < '0' || c > '9' || value > 65535) {
      *error = "bad port in \"" + text + "\"";
      return false;
    }
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value == 0 || value > 65535) {
    *error = "bad port in \"" + text + "\"";
    return false;
  }
  out->host = text.substr(0, colon);
  out->port = static_cast<uint16_t>(value);
  sockaddr_in sa;
  if (!ToSockaddr(*out, &sa, error)) return false;
  // The peer generates test traffic with made-up credentials; it stays on this machine.
  if ((ntohl(sa.sin_addr.s_addr) >> 24) != 127) {
    *error = "only loopback addresses (127.0.0.0/8) are allowed, got " + out->host;
    return false;
  }
  return true;
}

std::string ToString(const Endpoint& e) { return e.host + ":" + std::to_string(e.port); }

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  return strerror_r(err, buf, sizeof buf);
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int Listen(const Endpoint& e, int backlog, std::string* error) {
  sockaddr_in sa;
  if (!ToSockaddr(e, &sa, error)) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = "socket: " + ErrnoText(errno);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = "bind " + ToString(e) + ": " + ErrnoText(errno);
    close(fd);
    return -1;
  }
  if (listen(fd, backlog) != 0) {
    *error = "listen " + ToString(e) + ": " + ErrnoText(errno);
    close(fd);
    return -1;
  }
  return fd;
}

int Accept(int listen_fd, int timeout_ms, bool (*keep_waiting)(void*), void* arg,
           std::string* error, bool* timed_out) {
  *timed_out = false;
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      SetNoDelay(fd);
      return fd;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      *error = "accept: " + ErrnoText(errno);
      return -1;
    }
    if (keep_waiting != nullptr && !keep_waiting(arg)) {
      *error = "no connection needed any more";
      return -1;
    }
    const int64_t left = deadline - NowMs();
    if (left <= 0) {
      *timed_out = true;
      *error = "no connection arrived within " + std::to_string(timeout_ms / 1000.0).substr(0, 5) + " s";
      return -1;
    }
    pollfd p{listen_fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left < 100 ? left : 100));
  }
}

int Connect(const Endpoint& e, int timeout_ms, std::string* error) {
  sockaddr_in sa;
  if (!ToSockaddr(e, &sa, error)) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = "socket: " + ErrnoText(errno);
    return -1;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) {
      *error = "connect " + ToString(e) + ": " + ErrnoText(errno);
      close(fd);
      return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    const int r = poll(&p, 1, timeout_ms);
    if (r <= 0) {
      *error = "connect " + ToString(e) + ": " + (r == 0 ? std::string("timed out") : ErrnoText(errno));
      close(fd);
      return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      *error = "connect " + ToString(e) + ": " + ErrnoText(err);
      close(fd);
      return -1;
    }
  }
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  SetNoDelay(fd);
  return fd;
}

bool WaitReady(int fd, bool want_read, bool want_write, int timeout_ms, bool* readable,
               bool* writable, std::string* error) {
  *readable = *writable = false;
  pollfd p{fd, static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0)), 0};
  for (;;) {
    const int r = poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      *error = "poll: " + ErrnoText(errno);
      return false;
    }
    if (r == 0) return false;
    // Errors and hang-ups are reported through the following recv or send.
    const bool problem = (p.revents & (POLLERR | POLLHUP)) != 0;
    *readable = (p.revents & POLLIN) != 0 || (problem && want_read);
    *writable = (p.revents & POLLOUT) != 0 || (problem && want_write);
    return true;
  }
}

int UnsentBytes(int fd) {
  int n = 0;
  if (ioctl(fd, SIOCOUTQ, &n) != 0) return 0;
  return n;
}

void SetNoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void ShutdownWrite(int fd) { shutdown(fd, SHUT_WR); }

void AbortiveClose(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

void CloseFd(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace qxpeer

namespace qxpeer {

void SetTimeouts(int fd, int timeout_ms) {
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool ReadExact(int fd, char* buf, size_t n, std::string* error) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = recv(fd, buf + got, n - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0) {
      *error = "connection closed after " + std::to_string(got) + " of " + std::to_string(n) + " bytes";
      return false;
    } else if (errno != EINTR) {
      *error = (errno == EAGAIN || errno == EWOULDBLOCK) ? std::string("timed out receiving")
                                                         : "receive failed: " + ErrnoText(errno);
      return false;
    }
  }
  return true;
}

bool WriteAll(int fd, const char* buf, size_t n, std::string* error) {
  size_t put = 0;
  while (put < n) {
    const ssize_t r = send(fd, buf + put, n - put, MSG_NOSIGNAL);
    if (r > 0) {
      put += static_cast<size_t>(r);
    } else if (r < 0 && errno != EINTR) {
      *error = (errno == EAGAIN || errno == EWOULDBLOCK) ? std::string("timed out sending")
                                                         : "send failed: " + ErrnoText(errno);
      return false;
    }
  }
  return true;
}

bool ReadEnd(int fd, std::string* error) {
  char c;
  for (;;) {
    const ssize_t r = recv(fd, &c, 1, 0);
    if (r == 0) return true;
    if (r > 0) {
      *error = "unexpected bytes before the end of the stream";
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return true;
    *error = (errno == EAGAIN || errno == EWOULDBLOCK) ? std::string("timed out waiting for the end")
                                                       : "receive failed: " + ErrnoText(errno);
    return false;
  }
}

}  // namespace qxpeer
