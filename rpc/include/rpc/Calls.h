// The two ends of one call of the out-of-process link, as the generated
// proxies and stubs see them (rpc/ProxyStub.h): the proxy's call in flight,
// the stub's view of the calling client's session, and what the engine
// knows of each registered interface.
#pragma once

#include <comsupport/UniqueResource.h>
#include <rpc/Wire.h>

#include <objbase.h>
#include <oleauto.h>

#include <cstddef>
#include <memory>

namespace rpc {

// The IID of an interface type, for interface pointers passed as
// parameters. Specialised next to each table (RPC_INTERFACE_ID).
template <class Interface>
struct InterfaceIdOf;

template <>
struct InterfaceIdOf<IUnknown> {
  static const IID& Get() { return IID_IUnknown; }
};

#define RPC_INTERFACE_ID(Interface, iid)    \
  template <>                               \
  struct rpc::InterfaceIdOf<Interface> {    \
    static const IID& Get() { return iid; } \
  }

// Failure codes that the proxies return for the link itself.
constexpr HRESULT kCallFailed = RPC_S_CALL_FAILED_HR;
constexpr HRESULT kServerUnavailable = RPC_S_SERVER_UNAVAILABLE_HR;
constexpr HRESULT kNullRefPointer = MORAVANE_HR(0x800706F4u);     // RPC_X_NULL_REF_POINTER
constexpr HRESULT kBadStubData = MORAVANE_HR(0x800706F7u);        // RPC_X_BAD_STUB_DATA
constexpr HRESULT kProcNumOutOfRange = MORAVANE_HR(0x800706D1u);  // RPC_S_PROCNUM_OUT_OF_RANGE
// The server object, or the decoding of its arguments, threw.
constexpr HRESULT kServerFault = MORAVANE_HR(0x80010105u);  // RPC_E_SERVERFAULT

struct InterfaceInfo;

// The object behind every interface pointer that a client holds on a remote
// object. The manager owns the link to the server and the reference count.
class ProxyManager;
struct InterfaceProxy {
  const void* vtable;
  ProxyManager* manager;
  const InterfaceInfo* info;
};

// The three IUnknown slots of every proxy.
HRESULT STDMETHODCALLTYPE ProxyQueryInterface(InterfaceProxy* self, REFIID iid, void** object);
ULONG STDMETHODCALLTYPE ProxyAddRef(InterfaceProxy* self);
ULONG STDMETHODCALLTYPE ProxyRelease(InterfaceProxy* self);

// The link's own references on a proxy that it has just made for a received
// object and not yet handed to anyone: taken from and given back to the
// proxy's manager directly, unseen by whoever watches what the proxy's
// callers do (rpc::debug::SetProxyReferenceHook).
struct ReceivedProxyTraits {
  using Type = IUnknown*;
  static Type Empty() noexcept { return nullptr; }
  static void Release(Type proxy) noexcept;
};
using ReceivedProxy = comsupport::UniqueResource<ReceivedProxyTraits>;
HRESULT QueryReceivedProxy(IUnknown* proxy, REFIID iid, void** object);

// One call in flight from a proxy: a channel to the server taken for the
// length of the call, the request being written and the reply being read.
class Channel;
class ProxyCall {
 public:
  ProxyCall(InterfaceProxy* self, int slot);
  ~ProxyCall();
  ProxyCall(const ProxyCall&) = delete;
  ProxyCall& operator=(const ProxyCall&) = delete;

  // S_OK when the request can be written, else the code to return.
  HRESULT Status() const { return m_status; }
  Writer& Request() { return m_request; }
  // An interface pointer passed in: its object id (0 for null). Fails with
  // E_INVALIDARG for an object that is not a proxy of the same server.
  HRESULT MarshalObject(IUnknown* object, ObjectId& id);
  // Sends the request and waits for the reply. Returns the server's HRESULT
  // when a reply came (Replied() is then true and Reply() is positioned at
  // the out-values) or the failure of the link.
  HRESULT Transact();
  bool Replied() const { return m_replied; }
  Reader& Reply() { return m_reply; }
  // An object id received: a proxy carrying one reference (null for 0), or
  // null with `ok` false when the reply made no sense.
  ReceivedProxy UnmarshalObject(ObjectId id, bool& ok);
  // The reply broke the protocol: the channel is dropped and the call fails.
  HRESULT Malformed();

 private:
  ProxyManager* m_manager;
  std::unique_ptr<Channel> m_channel;  // back to the session's pool when the call is done
  HRESULT m_status = S_OK;
  Writer m_request;
  Reader m_reply;
  bool m_replied = false;
};

// What the stub of one method reports to the dispatcher. Arguments that
// break the protocol say which rule they broke (the dispatcher names it when
// it closes the connection); an unknown object or a failed allocation fails
// only the call.
enum class StubResult { kDone, kShortArguments, kBadPresence, kTrailingBytes, kUnknownObject, kOutOfMemory };

// The server's side of one call: resolves object ids sent in and exports
// objects sent out, in the session of the calling client.
class StubCall {
 public:
  virtual ~StubCall() = default;
  // A reference on the object's interface `iid`, or null with `result` set.
  virtual void* ResolveObject(ObjectId id, REFIID iid, StubResult& result) = 0;
  // Exports an object for the client, which receives one reference on it.
  virtual ObjectId ExportObject(IUnknown* object) = 0;
};

using StubFunction = StubResult (*)(void* target, Reader& args, Writer& reply, StubCall& call);

struct InterfaceInfo {
  const IID* iid;
  const char* name;
  int methodCount;                 // slots 3 .. 3 + methodCount - 1
  const void* proxyVtable;         // the value of a proxy's vtable pointer
  const StubFunction* stubs;       // indexed by slot - 3
  const std::ptrdiff_t* abiSlots;  // the slot each row's member function has in the real vtable
};

// Makes an interface known to the engine in this process, for proxies and
// stubs alike. Returns false (and registers nothing) when a row names a
// member function whose real vtable slot differs from the row's slot.
bool RegisterInterface(const InterfaceInfo& info);
const InterfaceInfo* FindInterface(REFIID iid);

}  // namespace rpc
