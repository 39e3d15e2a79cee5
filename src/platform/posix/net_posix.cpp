// POSIX sockets behind net.h.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net.h"

namespace qx::platform {

std::string SocketError::Message() const {
  return "Socket Error # " + std::to_string(code) + "\r\n" + text;
}

SocketError SocketErrorFromSystem(int e) {
  // Windows Sockets codes for the errors a relay meets; the rest keep the OS text.
  struct Entry {
    int os;
    int code;
    const char* text;
  };
  static const Entry kTable[] = {
      {ECONNRESET, 10054, "Connection reset by peer."},
      {EPIPE, 10054, "Connection reset by peer."},
      {ECONNABORTED, 10053, "Software caused connection abort."},
      {ETIMEDOUT, 10060, "Connection timed out."},
      {ECONNREFUSED, 10061, "Connection refused."},
      {EADDRINUSE, 10048, "Address already in use."},
      {EADDRNOTAVAIL, 10049, "Cannot assign requested address."},
      {ENETUNREACH, 10051, "Network is unreachable."},
      {EHOSTUNREACH, 10065, "No route to host."},
      {ENOTCONN, 10057, "Socket is not connected."},
      {EBADF, 10038, "Socket operation on non-socket."},
      {EACCES, 10013, "Permission denied."},
      {EMFILE, 10024, "Too many open files."},
      {ENOBUFS, 10055, "No buffer space available."},
      {EINTR, 10004, "Interrupted function call."},
      {EAGAIN, kWouldBlock, "Resource temporarily unavailable."},
  };
  static_assert(EAGAIN == EWOULDBLOCK, "one entry serves both names");
  for (const Entry& entry : kTable) {
    if (entry.os == e) return SocketError{entry.code, entry.text};
  }
  return SocketError{10000 + e, std::strerror(e)};
}

namespace {

void SetError(SocketError* error, int e) {
  if (error) *error = SocketErrorFromSystem(e);
}

int Fd(SocketHandle s) { return static_cast<int>(s); }

}  // namespace

SocketHandle ListenTcp(int port, int backlog, SocketError* error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetError(error, errno);
    return kInvalidSocket;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0) {
    SetError(error, errno);
    close(fd);
    return kInvalidSocket;
  }
  return fd;
}

int LocalPort(SocketHandle socket) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

namespace {

void FillAccepted(int fd, const sockaddr_in& peer, AcceptedSocket* accepted) {
  char ip[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
  accepted->socket = fd;
  accepted->peer_ip = ip;
  accepted->peer_port = ntohs(peer.sin_port);
  accepted->local_port = LocalPort(fd);
}

}  // namespace

bool AcceptTcp(SocketHandle listener, SocketHandle wake, AcceptedSocket* accepted,
               SocketError* error) {
  for (;;) {
    pollfd fds[2] = {{Fd(listener), POLLIN, 0}, {Fd(wake), POLLIN, 0}};
    const int n = poll(fds, wake == kInvalidSocket ? 1 : 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetError(error, errno);
      return false;
    }
    if (wake != kInvalidSocket && fds[1].revents) return false;
    if (!fds[0].revents) continue;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = accept4(Fd(listener), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      // A client that gave up before we took it, or a momentary shortage: keep listening.
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN || errno == EPROTO) continue;
      SetError(error, errno);
      return false;
    }
    FillAccepted(fd, peer, accepted);
    return true;
  }
}

bool AcceptPending(SocketHandle listener, AcceptedSocket* accepted, SocketError* error) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd;
  do {
    fd = accept4(Fd(listener), reinterpret_cast<sockaddr*>(&peer), &len,
                 SOCK_CLOEXEC | SOCK_NONBLOCK);
    // A client that gave up before it was taken is nobody to report.
  } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED));
  if (fd < 0) {
    SetError(error, errno);
    return false;
  }
  FillAccepted(fd, peer, accepted);
  return true;
}

namespace {

// The IPv4 addresses to try for host:port (free with freeaddrinfo); null with *error set when
// the name does not resolve.
addrinfo* ResolveForConnect(const std::string& host, int port, SocketError* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &result) != 0 || !result) {
    if (error) *error = SocketError{11001, "Host not found."};
    return nullptr;
  }
  return result;
}

}  // namespace

SocketHandle ConnectTcp(const std::string& host, int port, SocketError* error) {
  addrinfo* result = ResolveForConnect(host, port, error);
  if (!result) return kInvalidSocket;
  int last_error = ECONNREFUSED;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    int r;
    do {
      r = connect(fd, ai->ai_addr, ai->ai_addrlen);
    } while (r != 0 && errno == EINTR);
    if (r == 0) {
      freeaddrinfo(result);
      return fd;
    }
    last_error = errno;
    close(fd);
  }
  freeaddrinfo(result);
  SetError(error, last_error);
  return kInvalidSocket;
}

SocketHandle ConnectTcpWithin(const std::string& host, int port, int timeout_ms,
                              SocketError* error) {
  addrinfo* result = ResolveForConnect(host, port, error);
  if (!result) return kInvalidSocket;
  int last_error = ECONNREFUSED;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          ai->ai_protocol);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    int r = connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (r != 0 && (errno == EINPROGRESS || errno == EINTR)) {
      // The handshake goes on in the background; its outcome is in SO_ERROR once writable.
      pollfd p{fd, POLLOUT, 0};
      int n;
      do {
        n = poll(&p, 1, timeout_ms);
      } while (n < 0 && errno == EINTR);
      if (n == 0) {
        errno = ETIMEDOUT;
      } else if (n > 0) {
        int so_error = 0;
        socklen_t len = sizeof so_error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
        errno = so_error;
        r = so_error == 0 ? 0 : -1;
      }
    }
    if (r == 0) {
      freeaddrinfo(result);
      const int flags = fcntl(fd, F_GETFL, 0);
      if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      return fd;
    }
    last_error = errno;
    close(fd);
  }
  freeaddrinfo(result);
  SetError(error, last_error);
  return kInvalidSocket;
}

long Receive(SocketHandle socket, char* buffer, size_t size, SocketError* error) {
  for (;;) {
    const ssize_t n = recv(Fd(socket), buffer, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    SetError(error, errno);
    return -1;
  }
}

bool SendAll(SocketHandle socket, const char* data, size_t size, SocketError* error) {
  while (size > 0) {
    const ssize_t n = send(Fd(socket), data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd p{Fd(socket), POLLOUT, 0};
        poll(&p, 1, 1000);
        continue;
      }
      SetError(error, errno);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long SendSome(SocketHandle socket, const char* data, size_t size, SocketError* error) {
  const ssize_t n = send(Fd(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    SetError(error, errno);
    return -1;
  }
  return static_cast<long>(n);
}

bool SendAllWhile(SocketHandle socket, const char* data, size_t size, int slice_ms,
                  const std::function<bool()>& keep_waiting, SocketError* error) {
  while (size > 0) {
    const ssize_t n = send(Fd(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      SetError(error, errno);
      return false;
    }
    pollfd p{Fd(socket), POLLOUT, 0};
    const int ready = poll(&p, 1, slice_ms);
    if (ready == 0 && !keep_waiting()) {
      SetError(error, ETIMEDOUT);
      return false;
    }
  }
  return true;
}

bool PeerEnded(SocketHandle socket) {
  // POLLRDHUP: the peer's close has arrived, even behind bytes not yet read.
  pollfd p{Fd(socket), POLLRDHUP, 0};
  for (;;) {
    const int n = poll(&p, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return true;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
}

bool WaitReadable(SocketHandle a, SocketHandle b, bool* a_ready, bool* b_ready, int timeout_ms,
                  SocketError* error) {
  pollfd fds[2] = {{Fd(a), POLLIN, 0}, {Fd(b), POLLIN, 0}};
  const nfds_t count = b == kInvalidSocket ? 1 : 2;
  for (;;) {
    const int n = poll(fds, count, timeout_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetError(error, errno);
      return false;
    }
    *a_ready = fds[0].revents != 0;
    *b_ready = count == 2 && fds[1].revents != 0;
    return true;
  }
}

void SetNonBlocking(SocketHandle socket) {
  const int flags = fcntl(Fd(socket), F_GETFL, 0);
  if (flags >= 0) fcntl(Fd(socket), F_SETFL, flags | O_NONBLOCK);
}

void SetNoDelay(SocketHandle socket) {
  const int one = 1;
  setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void Shutdown(SocketHandle socket) {
  if (socket != kInvalidSocket) shutdown(Fd(socket), SHUT_RDWR);
}

void ShutdownSend(SocketHandle socket) {
  if (socket != kInvalidSocket) shutdown(Fd(socket), SHUT_WR);
}

void Close(SocketHandle socket) {
  if (socket != kInvalidSocket) close(Fd(socket));
}

SocketHandle CreateWakeHandle() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void Wake(SocketHandle wake) {
  const uint64_t one = 1;
  if (write(Fd(wake), &one, sizeof one) < 0) {
    // Already signalled past the counter's limit: still readable.
  }
}

std::string ResolveHostIPv4(const std::string& host) {
  if (host.empty()) return "";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return "";
  std::string ip;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET) continue;
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr, buf, sizeof buf);
    ip = buf;
    break;
  }
  freeaddrinfo(result);
  return ip;
}

}  // namespace qx::platform
