// The client's sessions with server processes: attaching the channels of
// one session (Channel.h), the pool of idle channels, and the end of a
// session when its server goes. Shared by the proxies (Client.cpp) and activation
// (ClientActivation.cpp).
#pragma once

#include <rpc/ProxyStub.h>
#include <rpc/Rpc.h>

#include <platformdebug.h>

#include "Channel.h"
#include "Internal.h"
#include "KernelNames.h"
#include "SharedChannel.h"
#include "Transport.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
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
// the deadline, `stall` runs (it closes the channel), which ends a wait on
// the socket at once and, through the hang-up monitor, one on the shared
// region. Calls on an established link have no such bound: like COM's, they
// wait for as long as the server takes (the server's death still ends them).
class StallWatch {
 public:
  StallWatch(std::function<void()> stall, Clock::time_point deadline);
  ~StallWatch();
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;
  // Read after the exchange, before destruction: the watch has fired.
  bool Fired() {
    std::lock_guard lock(m_mutex);
    return m_fired;
  }

 private:
  void Run();
  const std::function<void()> m_stall;
  const Clock::time_point m_deadline;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_done = false;
  bool m_fired = false;
  std::thread m_thread;
};

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  explicit ClientSession(std::string endpoint) : m_endpoint(std::move(endpoint)), m_generation(WatchForks()) {}
  virtual ~ClientSession();

  // Opens the first channel, which opens the session at the server. A
  // server that accepts but has not answered by `deadline` is stalled.
  ConnectResult Open(Clock::time_point deadline);

  bool Dead() const { return m_dead.load(std::memory_order_acquire); }
  // Made by the parent of this forked process: its channels are the
  // parent's. Every call through it fails as a lost link would, so the
  // child links again, with sessions of its own.
  bool Inherited() const { return m_generation != ProcessGeneration(); }

  void MarkDead();

  // A channel for one call, from the pool or newly attached; null with
  // `status` set when the server is gone.
  std::unique_ptr<Channel> Take(HRESULT& status);

  void Give(std::unique_ptr<Channel> channel);

  // Sends the request written into the channel and receives the reply into
  // it. S_OK, or the failure of the link (the session is then dead, unless
  // only the reply was broken).
  HRESULT Exchange(Channel& channel, std::size_t size);

  // A request without out-values beyond the HRESULT and an optional id.
  // With a deadline, a server that has not answered by then is stalled:
  // CO_E_SERVER_EXEC_FAILURE.
  HRESULT SimpleRequest(MessageKind kind, ObjectId object, const IID* iid, const CLSID* clsid, std::uint32_t count,
                        ObjectId* returned, const Clock::time_point* deadline = nullptr);

  // The identity proxy for an object id received from the server, which
  // counted one more reference for this process.
  ReceivedProxy ProxyFor(ObjectId id);
  void ReleaseRemote(ObjectId id, std::uint32_t count) {
    SimpleRequest(MessageKind::kRelease, id, nullptr, nullptr, count, nullptr);
  }

  // The local count of this session's live proxy with that identity, -1
  // when it has none. Under the lock every manager in the table is alive.
  long LocalReferences(IUnknown* identity);

  std::mutex& ObjectsMutex() { return m_objectsMutex; }
  void Forget(ObjectId id) { m_proxies.erase(id); }

 protected:
  // A new channel when the pool has none: connected to the endpoint and
  // attached to the session. Null when the server cannot be reached.
  virtual std::unique_ptr<Channel> NewChannel();

 private:
  // Attaches a connected socket to the session (opening it when it has no
  // token yet) and makes the channel the server agreed to, which takes the
  // socket. Null, the socket left open, when the attach failed.
  std::unique_ptr<Channel> Attach(Fd& socket);

  const std::string m_endpoint;
  const bool m_useShared = g_sharedChannels.load();
  std::uint64_t m_token = 0;  // written once by Open, before the session is shared
  std::atomic<bool> m_dead{false};
  const std::uint32_t m_generation;
  std::mutex m_poolMutex;
  std::vector<std::unique_ptr<Channel>> m_idle;
  std::mutex m_objectsMutex;
  std::unordered_map<ObjectId, ProxyManager*> m_proxies;
  friend class ProxyManager;
};

}  // namespace rpc
