// Winsock 2 behind net.h. Winsock is started once, on the first call of any function here.
//
// Differences from the POSIX side, kept inside this file:
// - listeners take SO_EXCLUSIVEADDRUSE: Windows would let a second SO_REUSEADDR socket bind a
//   port that is already listened on;
// - a connect with a time limit waits through select(): WSAPoll did not report a failed
//   connect before Windows 10 2004;
// - the wake handle is a UDP socket connected to itself; Wake() sends it one datagram, which
//   stays queued, so it stays readable (as an eventfd that nobody reads);
// - Shutdown() from another thread does not wake a thread blocked in WSAPoll everywhere (not
//   on Wine), so it wakes it itself: a thread in WaitReadable registers its own wake socket
//   under the sockets it waits on, and Shutdown() sends a datagram to every wake socket
//   registered under its socket. A socket shut down here reads as closed (0), as on Linux.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <mutex>
#include <set>

#include "platform/net.h"
#include "platform/win32/wide.h"

namespace qx::platform {

std::string SocketError::Message() const {
  return "Socket Error # " + std::to_string(code) + "\r\n" + text;
}

SocketError SocketErrorFromSystem(int e) {
  // The same texts as the POSIX table for the codes a relay meets; the rest keep the OS text.
  struct Entry {
    int code;
    const char* text;
  };
  static const Entry kTable[] = {
      {WSAECONNRESET, "Connection reset by peer."},
      {WSAECONNABORTED, "Software caused connection abort."},
      {WSAETIMEDOUT, "Connection timed out."},
      {WSAECONNREFUSED, "Connection refused."},
      {WSAEADDRINUSE, "Address already in use."},
      {WSAEADDRNOTAVAIL, "Cannot assign requested address."},
      {WSAENETUNREACH, "Network is unreachable."},
      {WSAEHOSTUNREACH, "No route to host."},
      {WSAENOTCONN, "Socket is not connected."},
      {WSAENOTSOCK, "Socket operation on non-socket."},
      {WSAEACCES, "Permission denied."},
      {WSAEMFILE, "Too many open files."},
      {WSAENOBUFS, "No buffer space available."},
      {WSAEINTR, "Interrupted function call."},
      {WSAEWOULDBLOCK, "Resource temporarily unavailable."},
      {WSAESHUTDOWN, "Cannot send after socket shutdown."},
  };
  static_assert(WSAEWOULDBLOCK == kWouldBlock, "net.h's code is the Winsock one");
  for (const Entry& entry : kTable) {
    if (entry.code == e) return SocketError{entry.code, entry.text};
  }
  return SocketError{e, win32::ErrorText(static_cast<DWORD>(e))};
}

namespace {

void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

void SetError(SocketError* error, int e) {
  if (error) *error = SocketErrorFromSystem(e);
}
void SetLastSocketError(SocketError* error) { SetError(error, WSAGetLastError()); }

SOCKET S(SocketHandle s) { return static_cast<SOCKET>(s); }

// Threads blocked in WaitReadable with the sockets they wait on, and the sockets shut down by
// Shutdown() and not yet closed. A waiting thread links its own entry into the list for the
// time of its wait, so that a wait allocates nothing.
struct Waiter {
  SocketHandle a = kInvalidSocket, b = kInvalidSocket, wake = kInvalidSocket;
  Waiter* prev = nullptr;
  Waiter* next = nullptr;
};
std::mutex g_wait_mu;
Waiter* g_waiters = nullptr;  // the list's head; g_wait_mu
std::set<SocketHandle> g_shut;

bool IsShut(SocketHandle s) {
  std::lock_guard<std::mutex> lock(g_wait_mu);
  return g_shut.count(s) != 0;
}

// The calling thread's own wake socket (closed when the thread ends).
SocketHandle ThreadWake() {
  thread_local struct Own {
    SocketHandle socket = CreateWakeHandle();
    ~Own() { Close(socket); }
  } own;
  return own.socket;
}
SocketHandle H(SOCKET s) { return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s); }

void SetBlocking(SOCKET s, bool blocking) {
  u_long mode = blocking ? 0 : 1;
  ioctlsocket(s, FIONBIO, &mode);
}

SOCKET NewTcpSocket() {
  // Not inherited by child processes (a service that starts helpers must not leak its ports).
  return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

}  // namespace

SocketHandle ListenTcp(int port, int backlog, SocketError* error) {
  StartWinsock();
  const SOCKET s = NewTcpSocket();
  if (s == INVALID_SOCKET) {
    SetLastSocketError(error);
    return kInvalidSocket;
  }
  const BOOL one = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<u_short>(port));
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, backlog) != 0) {
    SetLastSocketError(error);
    closesocket(s);
    return kInvalidSocket;
  }
  return H(s);
}

int LocalPort(SocketHandle socket) {
  sockaddr_in addr{};
  int len = sizeof addr;
  if (getsockname(S(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

namespace {

void FillAccepted(SOCKET s, const sockaddr_in& peer, AcceptedSocket* accepted) {
  char ip[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
  accepted->socket = H(s);
  accepted->peer_ip = ip;
  accepted->peer_port = ntohs(peer.sin_port);
  accepted->local_port = LocalPort(H(s));
}

}  // namespace

bool AcceptTcp(SocketHandle listener, SocketHandle wake, AcceptedSocket* accepted,
               SocketError* error) {
  for (;;) {
    WSAPOLLFD fds[2] = {{S(listener), POLLRDNORM, 0}, {S(wake), POLLRDNORM, 0}};
    const int n = WSAPoll(fds, wake == kInvalidSocket ? 1 : 2, -1);
    if (n < 0) {
      SetLastSocketError(error);
      return false;
    }
    if (wake != kInvalidSocket && fds[1].revents) return false;
    if (!fds[0].revents) continue;
    sockaddr_in peer{};
    int len = sizeof peer;
    const SOCKET s = accept(S(listener), reinterpret_cast<sockaddr*>(&peer), &len);
    if (s == INVALID_SOCKET) {
      const int e = WSAGetLastError();
      // A client that gave up before we took it, or a momentary shortage: keep listening.
      if (e == WSAEINTR || e == WSAECONNRESET || e == WSAEWOULDBLOCK) continue;
      SetError(error, e);
      return false;
    }
    // An accepted socket inherits the listener's non-blocking mode; the caller wants blocking.
    SetBlocking(s, true);
    FillAccepted(s, peer, accepted);
    return true;
  }
}

bool AcceptPending(SocketHandle listener, AcceptedSocket* accepted, SocketError* error) {
  // The listener is polled by an event loop: make sure this accept cannot block.
  SetBlocking(S(listener), false);
  sockaddr_in peer{};
  SOCKET s;
  int e = 0;
  do {
    int len = sizeof peer;
    s = accept(S(listener), reinterpret_cast<sockaddr*>(&peer), &len);
    e = s == INVALID_SOCKET ? WSAGetLastError() : 0;
    // A client that gave up before it was taken is nobody to report.
  } while (s == INVALID_SOCKET && (e == WSAEINTR || e == WSAECONNRESET));
  if (s == INVALID_SOCKET) {
    SetError(error, e);
    return false;
  }
  SetBlocking(s, false);
  FillAccepted(s, peer, accepted);
  return true;
}

namespace {

addrinfo* ResolveForConnect(const std::string& host, int port, SocketError* error) {
  StartWinsock();
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

// Connects one socket; timeout_ms < 0 waits as long as the system does.
int ConnectOne(SOCKET s, const addrinfo* ai, int timeout_ms) {
  if (timeout_ms < 0) {
    return connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0 ? 0
                                                                           : WSAGetLastError();
  }
  SetBlocking(s, false);
  int result = 0;
  if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
    result = WSAGetLastError();
    if (result == WSAEWOULDBLOCK || result == WSAEINPROGRESS) {
      // Writable: connected; in the exception set: failed, with the reason in SO_ERROR.
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
      const int n = select(0, nullptr, &writable, &failed, &tv);
      if (n == 0) {
        result = WSAETIMEDOUT;
      } else if (n < 0) {
        result = WSAGetLastError();
      } else if (FD_ISSET(s, &failed)) {
        int so_error = 0;
        int len = sizeof so_error;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len);
        result = so_error ? so_error : WSAECONNREFUSED;
      } else {
        result = 0;
      }
    }
  }
  if (result == 0) SetBlocking(s, true);
  return result;
}

SocketHandle Connect(const std::string& host, int port, int timeout_ms, SocketError* error) {
  addrinfo* result = ResolveForConnect(host, port, error);
  if (!result) return kInvalidSocket;
  int last_error = WSAECONNREFUSED;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    const SOCKET s = NewTcpSocket();
    if (s == INVALID_SOCKET) {
      last_error = WSAGetLastError();
      continue;
    }
    last_error = ConnectOne(s, ai, timeout_ms);
    if (last_error == 0) {
      freeaddrinfo(result);
      return H(s);
    }
    closesocket(s);
  }
  freeaddrinfo(result);
  SetError(error, last_error);
  return kInvalidSocket;
}

}  // namespace

SocketHandle ConnectTcp(const std::string& host, int port, SocketError* error) {
  return Connect(host, port, -1, error);
}

SocketHandle ConnectTcpWithin(const std::string& host, int port, int timeout_ms,
                              SocketError* error) {
  return Connect(host, port, timeout_ms, error);
}

long Receive(SocketHandle socket, char* buffer, size_t size, SocketError* error) {
  const int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
  const int n = recv(S(socket), buffer, chunk, 0);
  if (n >= 0) return n;
  const int e = WSAGetLastError();
  if (e == WSAESHUTDOWN && IsShut(socket)) return 0;  // as a shut-down socket reads on Linux
  SetError(error, e);
  return -1;
}

bool SendAll(SocketHandle socket, const char* data, size_t size, SocketError* error) {
  while (size > 0) {
    const int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int n = send(S(socket), data, chunk, 0);
    if (n == SOCKET_ERROR) {
      const int e = WSAGetLastError();
      if (e == WSAEWOULDBLOCK) {
        WSAPOLLFD p{S(socket), POLLWRNORM, 0};
        WSAPoll(&p, 1, 1000);
        continue;
      }
      SetError(error, e);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long SendSome(SocketHandle socket, const char* data, size_t size, SocketError* error) {
  // Winsock has no per-call MSG_DONTWAIT: the callers' sockets are non-blocking already
  // (accepted through AcceptPending), so a plain send takes what fits.
  const int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
  const int n = send(S(socket), data, chunk, 0);
  if (n == SOCKET_ERROR) {
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK || e == WSAEINTR) return 0;
    SetError(error, e);
    return -1;
  }
  return n;
}

bool SendAllWhile(SocketHandle socket, const char* data, size_t size, int slice_ms,
                  const std::function<bool()>& keep_waiting, SocketError* error) {
  // The relay's sockets block: wait for room in slices, then let send take the chunk (it
  // blocks only until the rest fits in the send buffer).
  while (size > 0) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(S(socket), &writable);
    timeval slice{slice_ms / 1000, (slice_ms % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, nullptr, &slice);
    if (ready == SOCKET_ERROR) {
      SetError(error, WSAGetLastError());
      return false;
    }
    if (ready == 0) {
      if (!keep_waiting()) {
        SetError(error, WSAETIMEDOUT);
        return false;
      }
      continue;
    }
    const int chunk = size > 0x10000 ? 0x10000 : static_cast<int>(size);
    const int n = send(S(socket), data, chunk, 0);
    if (n == SOCKET_ERROR) {
      const int e = WSAGetLastError();
      if (e == WSAEWOULDBLOCK || e == WSAEINTR) continue;
      SetError(error, e);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool PeerEnded(SocketHandle socket) {
  // A reset or failure shows as POLLHUP / POLLERR even while bytes are still queued (whether
  // the reset discarded them or, under Wine, they wait before it); an orderly close only once
  // they have been read, by the peek below.
  WSAPOLLFD p{S(socket), POLLRDNORM, 0};
  const int ready = WSAPoll(&p, 1, 0);
  if (ready == SOCKET_ERROR) return true;
  if (ready == 0) return false;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  char byte;
  const int n = recv(S(socket), &byte, 1, MSG_PEEK);
  return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK);
}

bool WaitReadable(SocketHandle a, SocketHandle b, bool* a_ready, bool* b_ready, int timeout_ms,
                  SocketError* error) {
  const SocketHandle wake = ThreadWake();
  const bool two = b != kInvalidSocket;
  // Linked only while this call waits (so nothing is left to destroy at thread exit).
  thread_local Waiter self;
  {
    std::lock_guard<std::mutex> lock(g_wait_mu);
    *a_ready = g_shut.count(a) != 0;
    *b_ready = two && g_shut.count(b) != 0;
    if (*a_ready || *b_ready) return true;
    self.a = a;
    self.b = b;
    self.wake = wake;
    self.prev = nullptr;
    self.next = g_waiters;
    if (g_waiters) g_waiters->prev = &self;
    g_waiters = &self;
  }
  WSAPOLLFD fds[3] = {{S(wake), POLLRDNORM, 0}, {S(a), POLLRDNORM, 0}, {S(b), POLLRDNORM, 0}};
  const int n = WSAPoll(fds, two ? 3 : 2, timeout_ms);
  const int poll_error = n < 0 ? WSAGetLastError() : 0;
  {
    std::lock_guard<std::mutex> lock(g_wait_mu);
    if (self.prev) self.prev->next = self.next; else g_waiters = self.next;
    if (self.next) self.next->prev = self.prev;
    *a_ready = fds[1].revents != 0 || g_shut.count(a) != 0;
    *b_ready = two && (fds[2].revents != 0 || g_shut.count(b) != 0);
  }
  if (fds[0].revents) {
    char drain[64];
    while (recv(S(wake), drain, sizeof drain, 0) > 0) {
    }
  }
  if (n < 0) {
    SetError(error, poll_error);
    return false;
  }
  return true;
}

void SetNonBlocking(SocketHandle socket) { SetBlocking(S(socket), false); }

void SetNoDelay(SocketHandle socket) {
  const BOOL one = TRUE;
  setsockopt(S(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void Shutdown(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  shutdown(S(socket), SD_BOTH);
  std::lock_guard<std::mutex> lock(g_wait_mu);
  g_shut.insert(socket);
  for (const Waiter* w = g_waiters; w; w = w->next) {
    if (w->a == socket || w->b == socket) Wake(w->wake);
  }
}

void ShutdownSend(SocketHandle socket) {
  if (socket != kInvalidSocket) shutdown(S(socket), SD_SEND);
}

void Close(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  {
    // Before the handle is closed: Windows may hand the same value to the next socket.
    std::lock_guard<std::mutex> lock(g_wait_mu);
    g_shut.erase(socket);
  }
  closesocket(S(socket));
}

SocketHandle CreateWakeHandle() {
  StartWinsock();
  const SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                              WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    closesocket(s);
    return kInvalidSocket;
  }
  SetBlocking(s, false);
  return H(s);
}

void Wake(SocketHandle wake) {
  const char one = 1;
  send(S(wake), &one, 1, 0);
}

std::string ResolveHostIPv4(const std::string& host) {
  if (host.empty()) return "";
  StartWinsock();
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
