// The client's sessions with server processes: the channels of one session,
// attaching them, the pool of idle channels, and the end of a session when
// its server goes. Shared by the proxies (Client.cpp) and activation
// (ClientActivation.cpp).
#pragma once

#include <rpc/ProxyStub.h>
#include <rpc/Rpc.h>

#include <platformdebug.h>

#include "KernelNames.h"
#include "rpc/Internal.h"
#include "rpc/SharedChannel.h"
#include "rpc/Transport.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

namespace rpc {

// Whether new channels offer the server a shared region (a debug switch).
extern std::atomic<bool> g_sharedChannels;
// The table of IUnknown, registered on first use.
const InterfaceInfo& IdentityInfo();

using Clock = std::chrono::steady_clock;

// Bounds one exchange of an activation: if the server has not answered by
// the deadline, the channel's socket is shut down, which ends a wait on the
// socket at once and, through the hang-up monitor, one on the shared region.
// Calls on an established link have no such bound: like COM's, they wait
// for as long as the server takes (the server's death still ends them).
class StallWatch {
 public:
  StallWatch(int socket, Clock::time_point deadline) : m_socket(socket), m_deadline(deadline) {
    if (m_socket >= 0) m_thread = std::thread([this] { Run(); });
  }
  ~StallWatch() {
    if (!m_thread.joinable()) return;
    {
      std::lock_guard lock(m_mutex);
      m_done = true;
    }
    m_wake.notify_one();
    m_thread.join();
  }
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;
  // Read after the exchange, before destruction: the watch has fired.
  bool Fired() {
    std::lock_guard lock(m_mutex);
    return m_fired;
  }

 private:
  void Run() {
    std::unique_lock lock(m_mutex);
    if (m_wake.wait_until(lock, m_deadline, [this] { return m_done; })) return;
    m_fired = true;
    ::shutdown(m_socket, SHUT_RDWR);
  }
  const int m_socket;
  const Clock::time_point m_deadline;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_done = false;
  bool m_fired = false;
  std::thread m_thread;
};

// One connection to the server, used by one call at a time. Requests are
// written straight into the shared region when the server took it, else
// into a buffer of the channel's own and sent over the socket.
class ClientChannel {
 public:
  explicit ClientChannel(Fd socket) : socket(std::move(socket)) {}
  ~ClientChannel() {
    if (monitorId != 0) HangupMonitor::Instance().Unwatch(monitorId);
  }
  Fd socket;
  SharedMapping shared;
  std::uint64_t monitorId = 0;
  std::unique_ptr<std::uint8_t[]> ownRequest{new std::uint8_t[kMaxMessage]};
  std::unique_ptr<std::uint8_t[]> reply{new std::uint8_t[kMaxMessage]};
  std::uint8_t* request = ownRequest.get();
  std::size_t replySize = 0;
};

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  explicit ClientSession(std::string endpoint) : m_endpoint(std::move(endpoint)) {}

  // Opens the first channel, which opens the session at the server. A
  // server that accepts but has not answered by `deadline` is stalled.
  ConnectResult Open(Clock::time_point deadline) {
    Fd socket;
    const ConnectResult result = ConnectEndpoint(m_endpoint, socket);
    if (result != ConnectResult::kConnected) return result;
    auto channel = std::make_unique<ClientChannel>(std::move(socket));
    StallWatch watch(channel->socket.Get(), deadline);
    if (!AttachChannel(*channel)) return watch.Fired() ? ConnectResult::kStalled : ConnectResult::kNoServer;
    std::lock_guard lock(m_poolMutex);
    m_idle.push_back(std::move(channel));
    return ConnectResult::kConnected;
  }

  bool Dead() const { return m_dead.load(std::memory_order_acquire); }

  void MarkDead() {
    // The server is gone, and with it its holds on named sections: those
    // that nobody else holds are freed now rather than when the next
    // process of the user opens the namespace.
    if (!m_dead.exchange(true, std::memory_order_acq_rel) && !m_loopback) kernelnames::ReclaimAbandoned();
    std::vector<std::unique_ptr<ClientChannel>> idle;
    {
      std::lock_guard lock(m_poolMutex);
      idle.swap(m_idle);
    }
  }

  // A channel for one call, from the pool or newly attached; null with
  // `status` set when the server is gone.
  ClientChannel* Take(HRESULT& status) {
    if (Dead()) {
      status = kServerUnavailable;
      return nullptr;
    }
    {
      std::lock_guard lock(m_poolMutex);
      if (!m_idle.empty()) {
        ClientChannel* channel = m_idle.back().release();
        m_idle.pop_back();
        return channel;
      }
    }
    if (m_loopback) return new ClientChannel(Fd());
    Fd socket;
    if (ConnectEndpoint(m_endpoint, socket) == ConnectResult::kConnected) {
      auto channel = std::make_unique<ClientChannel>(std::move(socket));
      if (AttachChannel(*channel)) return channel.release();
    }
    MarkDead();
    status = kServerUnavailable;
    return nullptr;
  }

  void Give(ClientChannel* channel) {
    std::unique_ptr<ClientChannel> owned(channel);
    if (Dead()) return;
    std::lock_guard lock(m_poolMutex);
    m_idle.push_back(std::move(owned));
  }

  // Sends the request written into the channel and receives the reply into
  // it. S_OK, or the failure of the link (the session is then dead).
  HRESULT Exchange(ClientChannel& channel, std::size_t size) {
    if (m_loopback) {
      channel.replySize = m_loopback(channel.request, size, channel.reply.get(), kMaxMessage);
      return channel.replySize != 0 ? S_OK : kCallFailed;
    }
    if (SharedRegion* region = channel.shared.Get(); region != nullptr && channel.monitorId != 0) {
      bool delivered = false;
      if (ClientExchange(*region, static_cast<std::uint32_t>(size), delivered) == kClosed) {
        MarkDead();
        return delivered ? kCallFailed : kServerUnavailable;
      }
      // Copied out once: the peer could change the region while it is read.
      const std::uint32_t replySize = region->replySize;
      const bool sane = replySize >= sizeof(Header) && replySize <= kMaxMessage;
      if (sane) std::memcpy(channel.reply.get(), region->reply, replySize);
      ClientConsumedReply(*region);
      if (!sane) return kCallFailed;
      channel.replySize = replySize;
      return S_OK;
    }
    if (!SendMessage(channel.socket.Get(), channel.request, size)) {
      MarkDead();
      return kServerUnavailable;
    }
    const long received = ReceiveMessage(channel.socket.Get(), channel.reply.get(), kMaxMessage);
    if (received <= 0) {
      if (received != -2) MarkDead();
      return kCallFailed;
    }
    channel.replySize = static_cast<std::size_t>(received);
    return S_OK;
  }

  // A request without out-values beyond the HRESULT and an optional id.
  // With a deadline, a server that has not answered by then is stalled:
  // CO_E_SERVER_EXEC_FAILURE.
  HRESULT SimpleRequest(MessageKind kind, ObjectId object, const IID* iid, const CLSID* clsid, std::uint32_t count,
                        ObjectId* returned, const Clock::time_point* deadline = nullptr) {
    HRESULT status = S_OK;
    ClientChannel* channel = Take(status);
    if (channel == nullptr) return status;
    std::optional<StallWatch> watch;
    if (deadline != nullptr) watch.emplace(channel->socket.Get(), *deadline);
    Writer writer(channel->request, kMaxMessage);
    writer.Skip(sizeof(Header));
    if (clsid != nullptr) writer.Value(*clsid);
    if (object != 0) writer.Value(object);
    if (iid != nullptr) writer.Value(*iid);
    if (kind == MessageKind::kRelease) writer.Value(count);
    writer.Finish(kind, GetCurrentThreadId());
    HRESULT hr = Exchange(*channel, writer.Size());
    const bool stalled = watch && watch->Fired();
    watch.reset();  // before the channel, and its socket, may go
    if (stalled) {
      LogError("the server at %s accepted but did not answer in time", m_endpoint.c_str());
      delete channel;  // its socket is shut down
      return CO_E_SERVER_EXEC_FAILURE;
    }
    if (SUCCEEDED(hr)) {
      Reader reader(channel->reply.get(), channel->replySize);
      Header header;
      ObjectId id = 0;
      bool ok = ReadHeader(reader, channel->replySize, header) && header.kind == std::uint16_t(MessageKind::kReply) &&
                reader.Value(hr);
      if (ok && returned != nullptr) ok = reader.Value(id);
      if (!ok || !reader.AtEnd()) {
        LogError("malformed reply from the server at %s", m_endpoint.c_str());
        delete channel;
        return kCallFailed;
      }
      if (returned != nullptr) *returned = id;
    }
    Give(channel);
    return hr;
  }

  // The identity proxy for an object id received from the server, which
  // counted one more reference for this process.
  IUnknown* ProxyFor(ObjectId id);
  void ReleaseRemote(ObjectId id, std::uint32_t count) {
    SimpleRequest(MessageKind::kRelease, id, nullptr, nullptr, count, nullptr);
  }

  // The local count of this session's live proxy with that identity, -1
  // when it has none. Under the lock every manager in the table is alive.
  long LocalReferences(IUnknown* identity);

  std::mutex& ObjectsMutex() { return m_objectsMutex; }
  void SetLoopback(debug::Loopback loopback) { m_loopback = std::move(loopback); }
  void Forget(ObjectId id) { m_proxies.erase(id); }

 private:
  bool AttachChannel(ClientChannel& channel) {
    Writer writer(channel.request, kMaxMessage);
    writer.Skip(sizeof(Header));
    writer.Value(m_token);
    writer.Finish(MessageKind::kAttach, GetCurrentThreadId());
    Fd passed;
    const bool offered = m_useShared && channel.shared.Create(passed);
    if (!SendMessage(channel.socket.Get(), writer.Data(), writer.Size(), passed.Get())) return false;
    passed.Reset();
    const long received = ReceiveMessage(channel.socket.Get(), channel.reply.get(), kMaxMessage);
    if (received <= 0) return false;
    Reader reader(channel.reply.get(), static_cast<std::size_t>(received));
    Header header;
    HRESULT hr = E_FAIL;
    std::uint64_t token = 0;
    std::uint32_t sharedTaken = 0;
    if (!ReadHeader(reader, static_cast<std::size_t>(received), header) || !reader.Value(hr) || !reader.Value(token) ||
        !reader.Value(sharedTaken) || !reader.AtEnd() || FAILED(hr) || token == 0 ||
        (m_token != 0 && token != m_token)) {
      return false;
    }
    if (m_token == 0) m_token = token;  // only while Open runs, before the session is shared
    if (offered && sharedTaken == 1) {
      SharedRegion* region = channel.shared.Get();
      channel.monitorId = HangupMonitor::Instance().Watch(channel.socket.Get(), [region] { CloseRegion(*region); });
      if (channel.monitorId != 0) channel.request = region->request;
    }
    return true;
  }

  const std::string m_endpoint;
  const bool m_useShared = g_sharedChannels.load();
  debug::Loopback m_loopback;  // set only before the session is shared
  std::uint64_t m_token = 0;   // written once by Open, before the session is shared
  std::atomic<bool> m_dead{false};
  std::mutex m_poolMutex;
  std::vector<std::unique_ptr<ClientChannel>> m_idle;
  std::mutex m_objectsMutex;
  std::unordered_map<ObjectId, ProxyManager*> m_proxies;
  friend class ProxyManager;
};

}  // namespace rpc
