// The client's side: the proxy managers that stand for remote objects and
// the calls that proxies make. Sessions are in ClientSession.h, activation
// in ClientActivation.cpp.
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

#include "KernelNames.h"
#include "Internal.h"
#include "ClientSession.h"
#include "SharedChannel.h"
#include "Transport.h"

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
namespace {

std::atomic<std::int64_t> g_liveProxyObjects{0};
std::atomic<debug::ProxyReferenceHook> g_referenceHook{nullptr};

}  // namespace

std::atomic<bool> g_sharedChannels{true};

const InterfaceInfo& IdentityInfo() {
  static const InterfaceInfo& info = []() -> const InterfaceInfo& {
    const InterfaceInfo& unknown = InterfaceTable<IUnknown>::Info();
    RegisterInterface(unknown);
    return unknown;
  }();
  return info;
}

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

ReceivedProxy ClientSession::ProxyFor(ObjectId id) {
  std::lock_guard lock(m_objectsMutex);
  auto found = m_proxies.find(id);
  if (found != m_proxies.end()) {
    ProxyManager* manager = found->second;
    manager->m_refs.fetch_add(1, std::memory_order_relaxed);
    ++manager->m_remoteRefs;
    return ReceivedProxy(manager->Identity());
  }
  // Counted by its own references: the last Release deletes it.
  auto* manager = new ProxyManager(shared_from_this(), id);
  m_proxies.emplace(id, manager);
  return ReceivedProxy(manager->Identity());
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
void Report(ProxyManager* manager, debug::ProxyReferenceKind kind, const IID* iid, HRESULT result) {
  const debug::ProxyReferenceHook hook = g_referenceHook.load(std::memory_order_relaxed);
  if (hook != nullptr) hook(manager->Identity(), kind, iid, result);
}

}  // namespace

// The vtable slots are what code outside the link calls; the link itself
// goes to the manager directly and is not reported.
HRESULT STDMETHODCALLTYPE ProxyQueryInterface(InterfaceProxy* self, REFIID iid, void** object) {
  const HRESULT hr = self->manager->QueryInterface(iid, object);
  Report(self->manager, debug::ProxyReferenceKind::kQueryInterface, &iid, hr);
  return hr;
}

ULONG STDMETHODCALLTYPE ProxyAddRef(InterfaceProxy* self) {
  const ULONG count = self->manager->AddRef();
  Report(self->manager, debug::ProxyReferenceKind::kAddRef, nullptr, S_OK);
  return count;
}

ULONG STDMETHODCALLTYPE ProxyRelease(InterfaceProxy* self) {
  // Before the reference goes: the last one takes the manager with it.
  Report(self->manager, debug::ProxyReferenceKind::kRelease, nullptr, S_OK);
  return self->manager->Release();
}

HRESULT QueryReceivedProxy(IUnknown* proxy, REFIID iid, void** object) {
  return reinterpret_cast<InterfaceProxy*>(proxy)->manager->QueryInterface(iid, object);
}

void ReceivedProxyTraits::Release(IUnknown* proxy) noexcept {
  reinterpret_cast<InterfaceProxy*>(proxy)->manager->Release();
}

ProxyCall::ProxyCall(InterfaceProxy* self, int slot)
    : m_manager(self->manager), m_request(nullptr, 0), m_reply(nullptr, 0) {
  m_channel = m_manager->Session().Take(m_status);
  if (m_channel == nullptr) return;
  m_request = Writer(m_channel->Request(), kMaxMessage);
  m_request.Skip(sizeof(Header));
  m_request.Value(m_manager->Id());
  m_request.Value(*self->info->iid);
  m_request.Value(static_cast<std::uint32_t>(slot));
}

ProxyCall::~ProxyCall() {
  if (m_channel != nullptr) m_manager->Session().Give(std::move(m_channel));
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
    m_channel.reset();  // a channel whose exchange failed is not reused
    return status;
  }
  m_reply = Reader(m_channel->Reply(), m_channel->ReplySize());
  Header header;
  HRESULT hr = S_OK;
  if (!ReadHeader(m_reply, m_channel->ReplySize(), header) || header.kind != std::uint16_t(MessageKind::kReply) ||
      !m_reply.Value(hr)) {
    return Malformed();
  }
  if (header.flags == kNotDelivered) return m_reply.AtEnd() && FAILED(hr) ? hr : Malformed();
  m_replied = true;
  return hr;
}

ReceivedProxy ProxyCall::UnmarshalObject(ObjectId id, bool& ok) {
  ok = true;
  if (id == 0) return ReceivedProxy();
  return m_manager->Session().ProxyFor(id);
}

HRESULT ProxyCall::Malformed() {
  LogError("malformed reply from the server; the channel is dropped");
  m_channel.reset();
  return kCallFailed;
}

namespace debug {
std::int64_t LiveProxyObjects() { return g_liveProxyObjects.load(std::memory_order_relaxed); }
void SetSharedChannels(bool enabled) { g_sharedChannels.store(enabled); }

namespace {

// Requests answered by a function of this process; its channels never lose
// a server, and a reply of no bytes is a broken one.
class LoopbackChannel final : public Channel {
 public:
  explicit LoopbackChannel(std::shared_ptr<const Loopback> loopback)
      : Channel(nullptr), m_loopback(std::move(loopback)) {
    m_request = m_own.get();
  }
  Exchanged Exchange(std::size_t size) override {
    m_replySize = (*m_loopback)(m_request, size, m_reply.get(), kMaxMessage);
    return m_replySize != 0 ? Exchanged::kReplied : Exchanged::kBadReply;
  }
  void Close() override {}

 private:
  std::shared_ptr<const Loopback> m_loopback;
  std::unique_ptr<std::uint8_t[]> m_own{new std::uint8_t[kMaxMessage]};
};

class LoopbackSession final : public ClientSession {
 public:
  explicit LoopbackSession(Loopback loopback)
      : ClientSession("loopback"), m_loopback(std::make_shared<const Loopback>(std::move(loopback))) {}

 protected:
  std::unique_ptr<Channel> NewChannel() override { return std::make_unique<LoopbackChannel>(m_loopback); }

 private:
  const std::shared_ptr<const Loopback> m_loopback;
};

}  // namespace

IUnknown* LoopbackProxy(Loopback loopback) {
  IdentityInfo();
  auto session = std::make_shared<LoopbackSession>(std::move(loopback));
  return session->ProxyFor(1).Detach();  // the caller's reference
}
}  // namespace debug

}  // namespace rpc

namespace rpc::debug {

void SetProxyReferenceHook(ProxyReferenceHook hook) { rpc::g_referenceHook.store(hook, std::memory_order_relaxed); }

}  // namespace rpc::debug
