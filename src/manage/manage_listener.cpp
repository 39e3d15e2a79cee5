// Accepting and reading on the managing port through the service thread's event loop.
#include "manage/manage_listener.h"

namespace qx::manage {
namespace {
constexpr int kBacklog = 128;
constexpr uint32_t kAcceptRetryMs = 100;
}

TManageListener::TManageListener(platform::EventLoop& loop, int port, RequestHandler handler)
    : loop_(loop), port_(port), handler_(std::move(handler)) {}

TManageListener::~TManageListener() { Deactivate(); }

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
}

void TManageListener::Deactivate() {
  if (paused_) loop_.RemoveTimer(resume_timer_);
  paused_ = false;
  for (platform::SocketHandle c : clients_) {
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
    clients_.insert(c);
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

void TManageListener::OnReadable(platform::SocketHandle client) {
  try {
    if (!handler_(LocalPort(), client)) CloseClient(client);
  } catch (...) {
    CloseClient(client);
    throw;  // reported by the loop's error sink
  }
}

}  // namespace qx::manage
