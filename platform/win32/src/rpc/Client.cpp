// The client's side: sessions with server processes, the proxy managers
// that stand for remote objects, the calls that proxies make, and
// activation.
//
// Failure of the link: a request that cannot be sent finds the server gone
// (RPC_S_SERVER_UNAVAILABLE); a request sent whose reply never comes lost
// the server during the call (RPC_S_CALL_FAILED). Either way the session is
// marked dead, and every later call through its proxies fails at once with
// RPC_S_SERVER_UNAVAILABLE without touching a socket. The end of the server
// is seen as the end of the socket, whatever killed it.
#include <rpc/ProxyStub.h>
#include <rpc/Rpc.h>

#include <platformdebug.h>

#include "rpc/Internal.h"
#include "rpc/SharedChannel.h"
#include "rpc/Transport.h"

#include <atomic>
#include <cstring>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

namespace rpc {
namespace {

std::atomic<std::int64_t> g_liveProxyObjects{0};
std::atomic<std::int64_t> g_activationTimeoutMs{kDefaultActivationTimeout.count()};
std::atomic<bool> g_sharedChannels{true};
std::atomic<platformdebug::ProxyReferenceHook> g_referenceHook{nullptr};

const InterfaceInfo& IdentityInfo() {
  static const InterfaceInfo& info = []() -> const InterfaceInfo& {
    const InterfaceInfo& unknown = InterfaceTable<IUnknown>::Info();
    RegisterInterface(unknown);
    return unknown;
  }();
  return info;
}

}  // namespace

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

  // Opens the first channel, which opens the session at the server.
  ConnectResult Open() {
    Fd socket;
    const ConnectResult result = ConnectEndpoint(m_endpoint, socket);
    if (result != ConnectResult::kConnected) return result;
    auto channel = std::make_unique<ClientChannel>(std::move(socket));
    if (!AttachChannel(*channel)) return ConnectResult::kNoServer;
    std::lock_guard lock(m_poolMutex);
    m_idle.push_back(std::move(channel));
    return ConnectResult::kConnected;
  }

  bool Dead() const { return m_dead.load(std::memory_order_acquire); }

  void MarkDead() {
    m_dead.store(true, std::memory_order_release);
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
  HRESULT SimpleRequest(MessageKind kind, ObjectId object, const IID* iid, const CLSID* clsid, std::uint32_t count,
                        ObjectId* returned) {
    HRESULT status = S_OK;
    ClientChannel* channel = Take(status);
    if (channel == nullptr) return status;
    Writer writer(channel->request, kMaxMessage);
    writer.Skip(sizeof(Header));
    if (clsid != nullptr) writer.Value(*clsid);
    if (object != 0) writer.Value(object);
    if (iid != nullptr) writer.Value(*iid);
    if (kind == MessageKind::kRelease) writer.Value(count);
    writer.Finish(kind, GetCurrentThreadId());
    HRESULT hr = Exchange(*channel, writer.Size());
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

// One remote object as this process sees it. All interface proxies of the
// object share the manager's count; when it reaches zero the server is told
// once to drop every reference that it counted for this process.
class ProxyManager {
 public:
  ProxyManager(std::shared_ptr<ClientSession> session, ObjectId id) : m_session(std::move(session)), m_id(id) {
    m_identity = {IdentityInfo().proxyVtable, this, &IdentityInfo()};
    g_liveProxyObjects.fetch_add(1, std::memory_order_relaxed);
  }
  ~ProxyManager() { g_liveProxyObjects.fetch_sub(1, std::memory_order_relaxed); }

  ULONG AddRef() { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }

  ULONG Release() {
    std::unique_lock lock(m_session->ObjectsMutex());
    const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left != 0) return left;
    m_session->Forget(m_id);
    const std::uint32_t remote = m_remoteRefs;
    lock.unlock();
    if (!m_session->Dead()) m_session->ReleaseRemote(m_id, remote);
    delete this;
    return 0;
  }

  HRESULT QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
      AddRef();
      *object = &m_identity;
      return S_OK;
    }
    const InterfaceInfo* info = FindInterface(iid);
    if (info == nullptr) return E_NOINTERFACE;
    if (InterfaceProxy* known = Find(info)) {
      AddRef();
      *object = known;
      return S_OK;
    }
    const HRESULT hr = m_session->SimpleRequest(MessageKind::kQueryInterface, m_id, &iid, nullptr, 0, nullptr);
    if (FAILED(hr)) return hr;
    std::lock_guard lock(m_interfacesMutex);
    InterfaceProxy* proxy = nullptr;
    for (auto& candidate : m_interfaces) {
      if (candidate->info == info) proxy = candidate.get();
    }
    if (proxy == nullptr) {
      m_interfaces.push_back(std::make_unique<InterfaceProxy>(InterfaceProxy{info->proxyVtable, this, info}));
      proxy = m_interfaces.back().get();
    }
    AddRef();
    *object = proxy;
    return S_OK;
  }

  ClientSession& Session() { return *m_session; }
  ObjectId Id() const { return m_id; }
  IUnknown* Identity() { return reinterpret_cast<IUnknown*>(&m_identity); }

 private:
  InterfaceProxy* Find(const InterfaceInfo* info) {
    std::lock_guard lock(m_interfacesMutex);
    for (auto& candidate : m_interfaces) {
      if (candidate->info == info) return candidate.get();
    }
    return nullptr;
  }

  std::shared_ptr<ClientSession> m_session;
  const ObjectId m_id;
  std::atomic<ULONG> m_refs{1};
  std::uint32_t m_remoteRefs = 1;  // guarded by the session's objects mutex
  InterfaceProxy m_identity;
  std::mutex m_interfacesMutex;
  std::vector<std::unique_ptr<InterfaceProxy>> m_interfaces;
  friend class ClientSession;
};

IUnknown* ClientSession::ProxyFor(ObjectId id) {
  std::lock_guard lock(m_objectsMutex);
  auto found = m_proxies.find(id);
  if (found != m_proxies.end()) {
    ProxyManager* manager = found->second;
    manager->m_refs.fetch_add(1, std::memory_order_relaxed);
    ++manager->m_remoteRefs;
    return manager->Identity();
  }
  auto* manager = new ProxyManager(shared_from_this(), id);
  m_proxies.emplace(id, manager);
  return manager->Identity();
}

long ClientSession::LocalReferences(IUnknown* identity) {
  std::lock_guard lock(m_objectsMutex);
  for (const auto& [id, manager] : m_proxies) {
    if (manager->Identity() == identity) return static_cast<long>(manager->m_refs.load(std::memory_order_relaxed));
  }
  return -1;
}

namespace {

// Whoever watches the references: told while the caller still holds the
// reference it called with, so the proxy is alive throughout.
void Report(ProxyManager* manager, platformdebug::ProxyReferenceKind kind, const IID* iid, HRESULT result) {
  const platformdebug::ProxyReferenceHook hook = g_referenceHook.load(std::memory_order_relaxed);
  if (hook != nullptr) hook(manager->Identity(), kind, iid, result);
}

}  // namespace

// The vtable slots are what code outside the link calls; the link itself
// goes to the manager directly and is not reported.
HRESULT STDMETHODCALLTYPE ProxyQueryInterface(InterfaceProxy* self, REFIID iid, void** object) {
  const HRESULT hr = self->manager->QueryInterface(iid, object);
  Report(self->manager, platformdebug::ProxyReferenceKind::kQueryInterface, &iid, hr);
  return hr;
}

ULONG STDMETHODCALLTYPE ProxyAddRef(InterfaceProxy* self) {
  const ULONG count = self->manager->AddRef();
  Report(self->manager, platformdebug::ProxyReferenceKind::kAddRef, nullptr, S_OK);
  return count;
}

ULONG STDMETHODCALLTYPE ProxyRelease(InterfaceProxy* self) {
  // Before the reference goes: the last one takes the manager with it.
  Report(self->manager, platformdebug::ProxyReferenceKind::kRelease, nullptr, S_OK);
  return self->manager->Release();
}

HRESULT QueryReceivedProxy(IUnknown* proxy, REFIID iid, void** object) {
  return reinterpret_cast<InterfaceProxy*>(proxy)->manager->QueryInterface(iid, object);
}

void ReleaseReceivedProxy(IUnknown* proxy) { reinterpret_cast<InterfaceProxy*>(proxy)->manager->Release(); }

ProxyCall::ProxyCall(InterfaceProxy* self, int slot)
    : m_manager(self->manager), m_request(nullptr, 0), m_reply(nullptr, 0) {
  m_channel = m_manager->Session().Take(m_status);
  if (m_channel == nullptr) return;
  m_request = Writer(m_channel->request, kMaxMessage);
  m_request.Skip(sizeof(Header));
  m_request.Value(m_manager->Id());
  m_request.Value(*self->info->iid);
  m_request.Value(static_cast<std::uint32_t>(slot));
}

ProxyCall::~ProxyCall() {
  if (m_channel != nullptr) m_manager->Session().Give(m_channel);
}

HRESULT ProxyCall::MarshalObject(IUnknown* object, ObjectId& id) {
  id = 0;
  if (object == nullptr) return S_OK;
  const void* vtable = *reinterpret_cast<const void* const*>(object);
  if (!IsProxyVtable(vtable)) return E_INVALIDARG;
  ProxyManager* manager = reinterpret_cast<InterfaceProxy*>(object)->manager;
  if (&manager->Session() != &m_manager->Session()) return E_INVALIDARG;
  id = manager->Id();
  return S_OK;
}

HRESULT ProxyCall::Transact() {
  if (m_request.Overflow()) return E_INVALIDARG;
  m_request.Finish(MessageKind::kCall, GetCurrentThreadId());
  const HRESULT status = m_manager->Session().Exchange(*m_channel, m_request.Size());
  if (FAILED(status)) {
    delete m_channel;
    m_channel = nullptr;
    return status;
  }
  m_reply = Reader(m_channel->reply.get(), m_channel->replySize);
  Header header;
  HRESULT hr = S_OK;
  if (!ReadHeader(m_reply, m_channel->replySize, header) || header.kind != std::uint16_t(MessageKind::kReply) ||
      !m_reply.Value(hr)) {
    return Malformed();
  }
  if (header.flags == kNotDelivered) return m_reply.AtEnd() && FAILED(hr) ? hr : Malformed();
  m_replied = true;
  return hr;
}

IUnknown* ProxyCall::UnmarshalObject(ObjectId id, bool& ok) {
  ok = true;
  if (id == 0) return nullptr;
  return m_manager->Session().ProxyFor(id);
}

HRESULT ProxyCall::Malformed() {
  LogError("malformed reply from the server; the channel is dropped");
  delete m_channel;
  m_channel = nullptr;
  return kCallFailed;
}

// --- Activation -------------------------------------------------------------

namespace {

struct Sessions {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<ClientSession>> byEndpoint;
};

Sessions& TheSessions() {
  static Sessions* sessions = new Sessions;  // outlives every proxy, even at exit
  return *sessions;
}

// The live session with the server at `endpoint`, opened when needed.
std::shared_ptr<ClientSession> SessionFor(const std::string& endpoint, ConnectResult& result) {
  Sessions& sessions = TheSessions();
  std::lock_guard lock(sessions.mutex);
  if (auto known = sessions.byEndpoint[endpoint].lock(); known && !known->Dead()) {
    result = ConnectResult::kConnected;
    return known;
  }
  auto session = std::make_shared<ClientSession>(endpoint);
  result = session->Open();
  if (result != ConnectResult::kConnected) return nullptr;
  sessions.byEndpoint[endpoint] = session;
  return session;
}

std::vector<std::string> ReadRegistration(REFCLSID clsid) {
  std::vector<std::string> command;
  const std::string path = ClassRegistrationPath(clsid);
  if (path.empty()) return command;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (command.empty() && line.empty()) continue;
    command.push_back(line);
  }
  return command;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// Starts the registered server detached from this process (it outlives
// the client and is not its child) and returns a descriptor that becomes
// readable when it exits, or an invalid one when it could not be started.
Fd StartServer(std::vector<std::string> command) {
  command.push_back("-Embedding");
  std::vector<char*> argv;
  for (std::string& argument : command) argv.push_back(argument.data());
  argv.push_back(nullptr);

  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) return Fd();
  Fd readEnd(status[0]), writeEnd(status[1]);
  Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));

  // Only async-signal-safe calls between fork and exec: the client may
  // have other threads holding locks.
  const pid_t child = ::fork();
  if (child < 0) return Fd();
  if (child == 0) {
    ::setsid();
    const pid_t server = ::fork();
    if (server != 0) {
      ::write(writeEnd.Get(), &server, sizeof server);
      ::_exit(server < 0 ? 1 : 0);
    }
    if (!devNull.IsEmpty()) ::dup2(devNull.Get(), 0);
    ::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
    ::execv(argv[0], argv.data());
    const int error = errno;
    ::write(writeEnd.Get(), &error, sizeof error);
    ::_exit(127);
  }
  writeEnd.Reset();
  int childStatus = 0;
  while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
  }
  pid_t server = -1;
  if (!ReadAll(readEnd.Get(), &server, sizeof server) || server <= 0) return Fd();
  int execError = 0;
  if (ReadAll(readEnd.Get(), &execError, sizeof execError)) {
    LogError("cannot start %s: errno %d", argv[0], execError);
    return Fd();
  }
  Fd exited(static_cast<int>(::syscall(SYS_pidfd_open, server, 0)));
  if (!exited) {
    // Without pidfds the wait is only bounded by the time-out.
    exited = std::move(readEnd);
  }
  return exited;
}

}  // namespace

void SetActivationTimeout(std::chrono::milliseconds timeout) { g_activationTimeoutMs.store(timeout.count()); }

HRESULT ActivateRemote(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  IdentityInfo();
  if (FindInterface(iid) == nullptr) return E_NOINTERFACE;
  const std::string directory = EnsureEndpointDirectory();
  if (directory.empty()) return E_ACCESSDENIED;
  const std::string endpoint = EndpointPath(directory, clsid);

  ConnectResult connected = ConnectResult::kNoServer;
  std::shared_ptr<ClientSession> session = SessionFor(endpoint, connected);
  if (connected == ConnectResult::kRefused) return E_ACCESSDENIED;
  if (session == nullptr) {
    const std::vector<std::string> command = ReadRegistration(clsid);
    if (command.empty()) return REGDB_E_CLASSNOTREG;
    Fd exited = StartServer(command);
    if (!exited) return CO_E_SERVER_EXEC_FAILURE;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_activationTimeoutMs.load());
    for (;;) {
      session = SessionFor(endpoint, connected);
      if (session != nullptr) break;
      if (connected == ConnectResult::kRefused || std::chrono::steady_clock::now() >= deadline) {
        return CO_E_SERVER_EXEC_FAILURE;
      }
      pollfd watch{exited.Get(), POLLIN, 0};
      if (::poll(&watch, 1, 10) > 0) {
        // The server ended before it published; one last look in case it
        // published and then exited at once.
        session = SessionFor(endpoint, connected);
        if (session != nullptr) break;
        LogError("the server of %s exited without publishing it", GuidToString(clsid).c_str());
        return CO_E_SERVER_EXEC_FAILURE;
      }
    }
  }

  ObjectId id = 0;
  HRESULT hr = session->SimpleRequest(MessageKind::kActivate, 0, &iid, &clsid, 0, &id);
  if (hr == kServerUnavailable) {
    // A session left from a server that has gone since: try a new one once.
    session = SessionFor(endpoint, connected);
    if (session == nullptr) return kServerUnavailable;
    hr = session->SimpleRequest(MessageKind::kActivate, 0, &iid, &clsid, 0, &id);
  }
  if (FAILED(hr)) return hr;
  if (id == 0) return E_UNEXPECTED;
  IUnknown* identity = session->ProxyFor(id);
  hr = QueryReceivedProxy(identity, iid, object);
  ReleaseReceivedProxy(identity);
  return hr;
}

namespace debug {
std::int64_t LiveProxyObjects() { return g_liveProxyObjects.load(std::memory_order_relaxed); }
void SetSharedChannels(bool enabled) { g_sharedChannels.store(enabled); }

IUnknown* LoopbackProxy(Loopback loopback) {
  IdentityInfo();
  auto session = std::make_shared<ClientSession>("loopback");
  session->SetLoopback(std::move(loopback));
  return session->ProxyFor(1);
}
}  // namespace debug

}  // namespace rpc

namespace platformdebug {

void SetProxyReferenceHook(ProxyReferenceHook hook) { rpc::g_referenceHook.store(hook, std::memory_order_relaxed); }

long ProxyLocalReferences(IUnknown* identity) {
  // Copied out first: a session dropped here must not end under the lock.
  std::vector<std::shared_ptr<rpc::ClientSession>> sessions;
  {
    rpc::Sessions& all = rpc::TheSessions();
    std::lock_guard lock(all.mutex);
    for (const auto& [endpoint, weak] : all.byEndpoint) {
      if (auto session = weak.lock()) sessions.push_back(std::move(session));
    }
  }
  for (const auto& session : sessions) {
    if (const long count = session->LocalReferences(identity); count >= 0) return count;
  }
  return -1;
}

}  // namespace platformdebug
