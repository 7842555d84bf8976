#include "ServerDispatch.h"

#include <rpc/Rpc.h>

#include "CallerThread.h"

#include <platformdebug.h>
#include "Transport.h"

#include <atomic>

#include <sys/random.h>

namespace rpc {
namespace {

std::atomic<std::int64_t> g_exportedObjects{0};

struct SessionTable {
  std::mutex mutex;
  std::unordered_map<std::uint64_t, std::weak_ptr<ServerSession>> byToken;
};

SessionTable& TheSessions() {
  static auto* table = new SessionTable;  // used by detached threads until exit
  return *table;
}

std::uint64_t NewToken() {
  std::uint64_t token = 0;
  while (token == 0) {
    if (::getrandom(&token, sizeof token, 0) != sizeof token) token = 0;
  }
  return token;
}

// The stub's view of the session during one call. Objects exported for a
// reply that cannot be sent are taken back.
class SessionStubCall final : public StubCall {
 public:
  explicit SessionStubCall(ServerSession& session) : m_session(session) {}
  void* ResolveObject(ObjectId id, REFIID iid, StubResult& result) override {
    HRESULT hr = S_OK;
    comsupport::CComPtr<IUnknown> object = m_session.Resolve(id, iid, hr);
    if (object == nullptr) result = StubResult::kUnknownObject;
    return object.Detach();  // the stub adopts the reference
  }
  ObjectId ExportObject(IUnknown* object) override {
    const ObjectId id = m_session.Export(object);
    if (id != 0) m_exported.push_back(id);
    return id;
  }
  void Undo() {
    for (ObjectId id : m_exported) m_session.ReleaseExports(id, 1);
    m_exported.clear();
  }

 private:
  ServerSession& m_session;
  std::vector<ObjectId> m_exported;
};

Handled NotDelivered(std::uint8_t* reply, HRESULT hr) {
  Writer writer(reply, kMaxMessage);
  writer.Skip(sizeof(Header));
  writer.Value(hr);
  writer.Finish(MessageKind::kReply, 0, kNotDelivered);
  return {writer.Size(), Refusal::kNone};
}

Handled Refused(Refusal refusal) { return {0, refusal}; }

// A request of fixed fields ends with its last one; `read` tells whether
// they were all there.
Refusal CheckFields(const Reader& reader, bool read) {
  if (!read) return Refusal::kShortRequest;
  return reader.AtEnd() ? Refusal::kNone : Refusal::kTrailingBytes;
}

}  // namespace

void ServerSession::Drop(Entry& entry) {
  // Counted out first: whoever sees the object gone sees the export gone.
  g_exportedObjects.fetch_sub(1, std::memory_order_relaxed);
  entry.interfaces.clear();
  entry.identity = nullptr;
}

ServerSession::~ServerSession() {
  {
    std::lock_guard lock(TheSessions().mutex);
    auto found = TheSessions().byToken.find(m_token);
    if (found != TheSessions().byToken.end() && found->second.expired()) TheSessions().byToken.erase(found);
  }
  for (auto& [id, entry] : m_objects) Drop(entry);
}

ObjectId ServerSession::Export(IUnknown* object) {
  comsupport::CComPtr<IUnknown> identity;
  if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) || identity == nullptr) {
    return 0;
  }
  // `identity` outlives the lock: no code of the object runs under it.
  std::unique_lock lock(m_mutex);
  auto known = m_byIdentity.find(identity);
  if (known != m_byIdentity.end()) {
    ++m_objects[known->second].exports;
    return known->second;
  }
  const ObjectId id = m_next++;
  Entry& entry = m_objects[id];
  m_byIdentity.emplace(identity, id);
  entry.identity = std::move(identity);
  entry.exports = 1;
  g_exportedObjects.fetch_add(1, std::memory_order_relaxed);
  return id;
}

comsupport::CComPtr<IUnknown> ServerSession::Resolve(ObjectId id, REFIID iid, HRESULT& hr) {
  std::lock_guard lock(m_mutex);
  auto found = m_objects.find(id);
  if (found == m_objects.end()) {
    hr = RPC_E_DISCONNECTED;
    return nullptr;
  }
  Entry& entry = found->second;
  for (auto& [known, pointer] : entry.interfaces) {
    if (IsEqualIID(known, iid)) {
      hr = S_OK;
      return pointer;
    }
  }
  comsupport::CComPtr<IUnknown> pointer;
  hr = entry.identity->QueryInterface(iid, reinterpret_cast<void**>(&pointer));
  if (FAILED(hr) || pointer == nullptr) {
    if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
    return nullptr;
  }
  entry.interfaces.emplace_back(iid, pointer);
  return pointer;
}

HRESULT ServerSession::ReleaseExports(ObjectId id, std::uint32_t count) {
  Entry released;
  {
    std::lock_guard lock(m_mutex);
    auto found = m_objects.find(id);
    if (found == m_objects.end()) return RPC_E_DISCONNECTED;
    Entry& entry = found->second;
    if (count == 0 || count > entry.exports) return E_INVALIDARG;
    entry.exports -= count;
    if (entry.exports != 0) return S_OK;
    released = std::move(entry);
    m_byIdentity.erase(released.identity);
    m_objects.erase(found);
  }
  // Released outside the lock: the object's destructor may do anything.
  Drop(released);
  return S_OK;
}

long ServerSession::ReferencesOn(IUnknown* identity) {
  std::lock_guard lock(m_mutex);
  auto known = m_byIdentity.find(identity);
  if (known == m_byIdentity.end()) return 0;
  return 1 + static_cast<long>(m_objects[known->second].interfaces.size());
}

std::shared_ptr<ServerSession> OpenSession() {
  auto session = std::make_shared<ServerSession>(NewToken());
  std::lock_guard lock(TheSessions().mutex);
  TheSessions().byToken[session->Token()] = session;
  return session;
}

std::shared_ptr<ServerSession> FindSession(std::uint64_t token) {
  std::lock_guard lock(TheSessions().mutex);
  auto found = TheSessions().byToken.find(token);
  return found == TheSessions().byToken.end() ? nullptr : found->second.lock();
}

const char* RefusalText(Refusal refusal) {
  switch (refusal) {
    case Refusal::kNone:
      return "not refused";
    case Refusal::kOversized:
      return "longer than any message";
    case Refusal::kShortHeader:
      return "shorter than a header";
    case Refusal::kBadMagic:
      return "wrong magic number";
    case Refusal::kBadLength:
      return "length field not the message's length";
    case Refusal::kRequestFlags:
      return "flags set in a request";
    case Refusal::kNotARequest:
      return "not a request";
    case Refusal::kNotAttached:
      return "request before Attach";
    case Refusal::kAttachedTwice:
      return "second Attach on the connection";
    case Refusal::kShortRequest:
      return "request cut short";
    case Refusal::kShortArguments:
      return "arguments cut short";
    case Refusal::kBadPresence:
      return "presence byte neither 0 nor 1";
    case Refusal::kTrailingBytes:
      return "bytes after the last field";
  }
  return "unknown refusal";
}

Handled HandleMessage(ConnectionState& state, const std::uint8_t* message, std::size_t size, std::uint8_t* reply) {
  // The transports discard longer messages before they get here; refused
  // here too, so that whoever drives the handler directly meets the rules
  // a peer meets.
  if (size > kMaxMessage) return Refused(Refusal::kOversized);
  Reader reader(message, size);
  Header header;
  if (!reader.Value(header)) return Refused(Refusal::kShortHeader);
  if (header.magic != kMagic) return Refused(Refusal::kBadMagic);
  if (header.length != size) return Refused(Refusal::kBadLength);
  if (header.flags != 0) return Refused(Refusal::kRequestFlags);
  Writer writer(reply, kMaxMessage);
  writer.Skip(sizeof(Header));

  const auto kind = static_cast<MessageKind>(header.kind);
  if (kind == MessageKind::kAttach) {
    std::uint64_t token = 0;
    if (const Refusal broken = CheckFields(reader, reader.Value(token)); broken != Refusal::kNone) {
      return Refused(broken);
    }
    if (state.session != nullptr) return Refused(Refusal::kAttachedTwice);
    state.session = token == 0 ? OpenSession() : FindSession(token);
    writer.Value(state.session != nullptr ? S_OK : RPC_E_DISCONNECTED);
    writer.Value(state.session != nullptr ? state.session->Token() : std::uint64_t{0});
    writer.Value(static_cast<std::uint32_t>(state.session != nullptr && state.sharedMapped ? 1 : 0));
    writer.Finish(MessageKind::kReply, 0);
    return {writer.Size(), Refusal::kNone};
  }
  if (state.session == nullptr) return Refused(Refusal::kNotAttached);
  ServerSession& session = *state.session;

  switch (kind) {
    case MessageKind::kActivate: {
      CLSID clsid;
      IID iid;
      if (const Refusal broken = CheckFields(reader, reader.Value(clsid) && reader.Value(iid));
          broken != Refusal::kNone) {
        return Refused(broken);
      }
      comsupport::CComPtr<IUnknown> factory = state.factories != nullptr ? state.factories(clsid) : nullptr;
      HRESULT hr = REGDB_E_CLASSNOTREG;
      ObjectId id = 0;
      if (factory != nullptr) {
        comsupport::CComPtr<IClassFactory> classFactory;
        hr = factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&classFactory));
        factory = nullptr;
        if (SUCCEEDED(hr) && classFactory != nullptr) {
          CallerThreadScope caller(header.callerThread);
          comsupport::CComPtr<IUnknown> object;
          hr = classFactory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&object));
          classFactory = nullptr;
          if (SUCCEEDED(hr) && object != nullptr) {
            id = session.Export(object);
            if (id == 0) hr = E_NOINTERFACE;
          } else if (SUCCEEDED(hr)) {
            hr = E_UNEXPECTED;
          }
        } else if (SUCCEEDED(hr)) {
          hr = E_NOINTERFACE;
        }
      }
      writer.Value(hr);
      writer.Value(id);
      break;
    }
    case MessageKind::kQueryInterface: {
      ObjectId id;
      IID iid;
      if (const Refusal broken = CheckFields(reader, reader.Value(id) && reader.Value(iid)); broken != Refusal::kNone) {
        return Refused(broken);
      }
      HRESULT hr = S_OK;
      // The object sees the query as made by the client's thread, like
      // the calls of its methods.
      CallerThreadScope caller(header.callerThread);
      if (FindInterface(iid) == nullptr) {
        hr = E_NOINTERFACE;
      } else {
        session.Resolve(id, iid, hr);  // the table keeps its reference; this one goes at once
      }
      writer.Value(hr);
      break;
    }
    case MessageKind::kRelease: {
      ObjectId id;
      std::uint32_t count;
      if (const Refusal broken = CheckFields(reader, reader.Value(id) && reader.Value(count));
          broken != Refusal::kNone) {
        return Refused(broken);
      }
      CallerThreadScope caller(header.callerThread);
      writer.Value(session.ReleaseExports(id, count));
      break;
    }
    case MessageKind::kCall: {
      ObjectId id;
      IID iid;
      std::uint32_t slot;
      // The arguments follow; the stub checks how they end.
      if (!reader.Value(id) || !reader.Value(iid) || !reader.Value(slot)) return Refused(Refusal::kShortRequest);
      const InterfaceInfo* info = FindInterface(iid);
      if (info == nullptr) return NotDelivered(reply, E_NOINTERFACE);
      if (slot < 3 || slot >= 3u + static_cast<std::uint32_t>(info->methodCount)) {
        return NotDelivered(reply, kProcNumOutOfRange);
      }
      // Everything done to the object for this call, the reference taken
      // on the target included, is seen as done by the client's thread.
      CallerThreadScope caller(header.callerThread);
      HRESULT hr = S_OK;
      comsupport::CComPtr<IUnknown> target = session.Resolve(id, iid, hr);
      if (target == nullptr) return NotDelivered(reply, hr);
      SessionStubCall call(session);
      StubResult result = StubResult::kDone;
      try {
        result = info->stubs[slot - 3](target.p, reader, writer, call);
      } catch (...) {
        // Whatever the object or the decoding threw fails this call only,
        // as the system's stub engine answers it: the arguments were freed
        // by the unwinding, objects exported for the reply are taken back,
        // and the connection goes on serving.
        target = nullptr;
        call.Undo();
        return NotDelivered(reply, kServerFault);
      }
      target = nullptr;
      switch (result) {
        case StubResult::kDone:
          if (!writer.Overflow()) break;
          // The out-values do not fit in one message.
          call.Undo();
          return NotDelivered(reply, kBadStubData);
        case StubResult::kShortArguments:
          return Refused(Refusal::kShortArguments);
        case StubResult::kBadPresence:
          return Refused(Refusal::kBadPresence);
        case StubResult::kTrailingBytes:
          return Refused(Refusal::kTrailingBytes);
        case StubResult::kUnknownObject:
          return NotDelivered(reply, RPC_E_DISCONNECTED);
        case StubResult::kOutOfMemory:
          return NotDelivered(reply, E_OUTOFMEMORY);
      }
      break;
    }
    default:
      return Refused(Refusal::kNotARequest);
  }
  writer.Finish(MessageKind::kReply, 0);
  return {writer.Size(), Refusal::kNone};
}

namespace debug {
std::int64_t ExportedObjects() { return g_exportedObjects.load(std::memory_order_relaxed); }
}  // namespace debug

}  // namespace rpc

namespace rpc::debug {

long StubReferences(IUnknown* identity) {
  // Copied out first: the last holder of a session ends it, and its end
  // takes the table's lock.
  std::vector<std::shared_ptr<rpc::ServerSession>> sessions;
  {
    std::lock_guard lock(rpc::TheSessions().mutex);
    for (const auto& [token, weak] : rpc::TheSessions().byToken) {
      if (auto session = weak.lock()) sessions.push_back(std::move(session));
    }
  }
  long references = 0;
  for (const auto& session : sessions) references += session->ReferencesOn(identity);
  return references;
}

}  // namespace rpc::debug
