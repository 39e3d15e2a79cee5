// Accepting and reading on the managing port through the service thread's event loop.
#include "manage/manage_listener.h"

#include <chrono>
#include <vector>

namespace qx::manage {
namespace {
constexpr int kBacklog = 128;
constexpr uint32_t kAcceptRetryMs = 100;

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}
}  // namespace

TManageListener::TManageListener(platform::EventLoop& loop, int port, RequestHandler handler)
    : loop_(loop), port_(port), handler_(std::move(handler)) {}

TManageListener::~TManageListener() { Deactivate(); }

void TManageListener::SetLimits(size_t max_clients, uint32_t idle_ms,
                                std::function<void(const std::string&)> log) {
  max_clients_ = max_clients > 0 ? max_clients : 1;
  idle_ms_ = idle_ms;
  log_ = std::move(log);
}

void TManageListener::Activate() {
  if (Active()) return;
  platform::SocketError error;
  // Monitoring tools tend to poll many services at the same moment; a short accept queue
  // would drop their connection attempts and make them wait for a retry.
  const platform::SocketHandle s = platform::ListenTcp(port_, kBacklog, &error);
  if (s == platform::kInvalidSocket) throw ManageError(error.Message());
  platform::SetNonBlocking(s);
  listener_ = s;
  loop_.AddReader(listener_, [this] { OnAccept(); });
  if (idle_ms_ > 0) {
    // Looked at four times per timeout: a client is closed between 1 and 1.25 timeouts idle.
    sweep_timer_ = loop_.AddTimer(idle_ms_ / 4 > 0 ? idle_ms_ / 4 : 1, [this] { SweepIdle(); });
  }
}

void TManageListener::Deactivate() {
  if (paused_) loop_.RemoveTimer(resume_timer_);
  paused_ = false;
  if (sweep_timer_ != 0) loop_.RemoveTimer(sweep_timer_);
  sweep_timer_ = 0;
  for (const auto& [c, last] : clients_) {
    loop_.RemoveReader(c);
    platform::Close(c);
  }
  clients_.clear();
  if (Active()) {
    loop_.RemoveReader(listener_);
    platform::Close(listener_);
    listener_ = platform::kInvalidSocket;
  }
}

int TManageListener::LocalPort() const {
  return Active() ? platform::LocalPort(listener_) : 0;
}

void TManageListener::OnAccept() {
  // Take every pending client; a burst of connects is drained in one event.
  platform::AcceptedSocket accepted;
  platform::SocketError error;
  while (platform::AcceptPending(listener_, &accepted, &error)) {
    const platform::SocketHandle c = accepted.socket;
    // Clients that have left but whose close the loop has not read yet do not count.
    if (clients_.size() >= max_clients_) CloseEnded();
    if (clients_.size() >= max_clients_) {
      platform::Close(c);
      ++refused_;
      if (refusing_++ == 0) {
        Log(std::to_string(max_clients_) +
            " clients are connected, the most allowed (ManageMaxClients); new clients are "
            "closed until one leaves.");
      }
      continue;
    }
    if (refusing_ > 0) {
      Log("Accepting clients again; " + std::to_string(refusing_) + " were closed meanwhile.");
      refusing_ = 0;
    }
    clients_[c] = NowMs();
    loop_.AddReader(c, [this, c] { OnReadable(c); });
  }
  if (error.code == platform::kWouldBlock || paused_) return;
  // Out of descriptors or memory: the client stays queued and the listener stays readable, so
  // listening on would spin the service thread. Pause, and try again a little later.
  loop_.RemoveReader(listener_);
  paused_ = true;
  resume_timer_ = loop_.AddTimer(kAcceptRetryMs, [this] {
    loop_.RemoveTimer(resume_timer_);
    paused_ = false;
    if (Active()) loop_.AddReader(listener_, [this] { OnAccept(); });
  });
}

void TManageListener::CloseClient(platform::SocketHandle client) {
  loop_.RemoveReader(client);
  clients_.erase(client);
  platform::Close(client);
}

void TManageListener::CloseEnded() {
  std::vector<platform::SocketHandle> ended;
  for (const auto& [c, last] : clients_) {
    if (platform::PeerEnded(c)) ended.push_back(c);
  }
  for (platform::SocketHandle c : ended) CloseClient(c);
}

void TManageListener::SweepIdle() {
  const uint64_t now = NowMs();
  std::vector<platform::SocketHandle> idle;
  for (const auto& [c, last] : clients_) {
    if (now - last >= idle_ms_) idle.push_back(c);
  }
  for (platform::SocketHandle c : idle) CloseClient(c);
  if (!idle.empty()) {
    timed_out_ += idle.size();
    Log("Closed " + std::to_string(idle.size()) + " client(s) idle for " +
        std::to_string(idle_ms_ / 1000) + " s or more (ManageIdleTimeout).");
  }
}

void TManageListener::OnReadable(platform::SocketHandle client) {
  const auto it = clients_.find(client);
  if (it != clients_.end()) it->second = NowMs();
  try {
    if (!handler_(LocalPort(), client)) CloseClient(client);
  } catch (...) {
    CloseClient(client);
    throw;  // reported by the loop's error sink
  }
}

}  // namespace qx::manage
