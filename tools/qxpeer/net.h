// Loopback TCP helpers for the peer: listening, connecting and waiting, always with a time
// limit. Plain POSIX sockets; every call reports failure through its return value and an
// error text and never throws. Sockets are file descriptors owned by the caller.
#pragma once

#include <cstdint>
#include <string>

namespace qxpeer {

struct Endpoint {
  std::string host;  // an IPv4 loopback address
  uint16_t port = 0;
};

// Parses "HOST:PORT" (HOST may be "localhost"). Only loopback addresses (127.0.0.0/8) are
// accepted. False with *error set on bad input.
bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error);
std::string ToString(const Endpoint& e);

// A listening socket on `e` with SO_REUSEADDR, set non-blocking so that several threads
// may wait on it; -1 with *error set on failure.
int Listen(const Endpoint& e, int backlog, std::string* error);

// Waits up to timeout_ms for a connection on the listening socket. Returns the connected
// (blocking) socket, or -1 with *error set; *timed_out tells a time-out from a failure.
// `keep_waiting` is polled every 100 ms and ends the wait early when it returns false.
int Accept(int listen_fd, int timeout_ms, bool (*keep_waiting)(void*), void* arg,
           std::string* error, bool* timed_out);

// Connects to `e` within timeout_ms; returns a blocking socket with TCP_NODELAY or -1.
int Connect(const Endpoint& e, int timeout_ms, std::string* error);

// Waits until fd is readable (want_write false) or writable; false on time-out.
// Sets *error to the errno text when poll fails.
bool WaitReady(int fd, bool want_read, bool want_write, int timeout_ms, bool* readable,
               bool* writable, std::string* error);

// The text of errno value `err`.
std::string ErrnoText(int err);

// Bytes the kernel still holds unsent or unacknowledged for fd (0 when unknown).
int UnsentBytes(int fd);

void SetNoDelay(int fd);
void ShutdownWrite(int fd);
// Closes with a reset instead of an orderly close.
void AbortiveClose(int fd);
void CloseFd(int fd);

// Milliseconds on a monotonic clock.
int64_t NowMs();
int64_t NowUs();

}  // namespace qxpeer

namespace qxpeer {

// Blocking transfers for the benchmarks: the socket gets receive and send time-outs of
// timeout_ms once (SetTimeouts), then each call loops until done, the peer closes, or a
// time-out passes without progress. False with *error set on failure.
void SetTimeouts(int fd, int timeout_ms);
bool ReadExact(int fd, char* buf, size_t n, std::string* error);
bool WriteAll(int fd, const char* buf, size_t n, std::string* error);
// True when the peer closes (end of stream) before any further byte arrives.
bool ReadEnd(int fd, std::string* error);

}  // namespace qxpeer
