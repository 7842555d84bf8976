// The out-of-process half of COM activation: classes that a server process
// publishes for the other processes of the same user, and activation of a
// class that lives in another process.
//
// The class-object functions of objbase.h call in here, through the hook
// that the engine installs in the platform (platformactivation.h):
//   CoRegisterClassObject(..., CLSCTX_LOCAL_SERVER, ...) -> PublishClass
//   CoRevokeClassObject(cookie)                          -> WithdrawClass
//   CoCreateInstance(..., CLSCTX_LOCAL_SERVER, ...)      -> ActivateRemote,
//     after the classes registered in the calling process itself.
//
// Where things live (per user):
//   endpoints      $XDG_RUNTIME_DIR/moravane/ or, without it, /tmp/moravane-<uid>/
//                  (created with mode 0700; refused when owned by someone else
//                  or open to others). One socket per published class, named
//                  by the class id: {3DF590F4-AEC5-48BD-A644-000BB8CEA947}.
//   registrations  $XDG_CONFIG_HOME/moravane/classes/{CLSID} or, without it,
//                  ~/.config/moravane/classes/{CLSID}: a text file whose first
//                  line is the server's executable and each further line one
//                  argument. The server is started with "-Embedding" appended.
//                  Refused when the file or its folder is not this user's or
//                  is writable by group or others, or the program is writable
//                  by others (or neither this user's nor root's).
#pragma once

#include <objbase.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace rpc {

// Makes `factory` reachable from other processes of the same user until
// WithdrawClass(cookie). The factory is held (AddRef) meanwhile. `cookie` is
// the one that the class table handed out for the registration.
HRESULT PublishClass(DWORD cookie, REFCLSID clsid, IUnknown* factory, DWORD flags);

// Ends a publication: no new clients can activate the class. Objects that
// clients already hold stay usable. Unknown cookies are ignored.
void WithdrawClass(DWORD cookie);

// Activates `clsid` in another process: one that has published it, else the
// server named by the class registration, started and waited for.
// REGDB_E_CLASSNOTREG when neither exists, E_ACCESSDENIED when the
// registration is refused (the reason in the thread's error object),
// CO_E_SERVER_EXEC_FAILURE when the registered server cannot be started or
// does not publish in time. Simultaneous activations start one server.
HRESULT ActivateRemote(REFCLSID clsid, REFIID iid, void** object);

// How long ActivateRemote waits for a started server to publish. A server
// that loads a large application, or runs under a sanitizer on a busy
// machine, may need many seconds; the wait ends at once when it exits.
constexpr std::chrono::milliseconds kDefaultActivationTimeout{30000};
void SetActivationTimeout(std::chrono::milliseconds timeout);

std::string GuidToString(REFGUID guid);
std::string EndpointDirectory();
std::string ClassRegistrationPath(REFCLSID clsid);

namespace debug {
// The thread that made the call being served: inside a call that came from
// another process, the id of the client's calling thread carried with it;
// everywhere else GetCurrentThreadId().
DWORD CallerThreadId();

enum class ProxyReferenceKind { kAddRef, kRelease, kQueryInterface };

// Called on the calling thread for every AddRef, Release and QueryInterface
// made through a proxy's vtable by code outside the link itself (the link's
// own queries and releases while it receives objects are not reported).
// `identity` is the IUnknown of the proxy's object whichever interface proxy
// was called; the proxy is alive while the hook runs, since the caller still
// holds the reference it called with (a Release is reported before it takes
// effect). `iid` is the interface asked for by a QueryInterface and
// `result` its answer; for AddRef and Release `iid` is null and `result`
// S_OK. The hook may call through the link, but must not take or drop
// references on proxies itself.
using ProxyReferenceHook = void (*)(IUnknown* identity, ProxyReferenceKind kind, const IID* iid, HRESULT result);
// Installs the hook (null removes it) for every thread of the process.
void SetProxyReferenceHook(ProxyReferenceHook hook);

// The local reference count of the live proxy whose identity is `identity`,
// or -1 when no live proxy of this process has that identity. Safe for any
// pointer value: nothing is dereferenced that is not known to be alive.
long ProxyLocalReferences(IUnknown* identity);

// In a server process: how many references the link holds on the object
// whose IUnknown is `identity` on behalf of all its clients (its identity and
// each interface that a client used), 0 when no client holds it.
long StubReferences(IUnknown* identity);

// Remote objects that proxies of this process hold.
std::int64_t LiveProxyObjects();
// The requests this process has sent to servers, each a round trip.
std::int64_t RoundTrips();
// Objects of this process held by clients in other processes.
std::int64_t ExportedObjects();
// The timeline of a remote call over a shared region, in steady-clock
// nanoseconds (one clock for both processes): when the client posted the
// request, when the server took it, when the server published the reply and
// when the client saw it. Recorded only while switched on (the server
// stamps a request only when its client asks), for the call benchmarks.
struct ExchangeTimes {
  std::uint64_t posted = 0, taken = 0, replied = 0, seen = 0;
  int clientCpu = -1, serverCpu = -1;  // where the request was posted and the reply published
};
void RecordExchangeTimes(bool on);
// The last exchange of this process's shared regions; read it from the
// thread whose call has returned (the communication thread wrote it before
// it released that call).
ExchangeTimes LastExchangeTimes();
// Sums over every exchange recorded so far, in nanoseconds: how long
// requests waited for the server, how long it served them, and how long
// replies waited for the client.
struct ExchangeSums {
  std::uint64_t count = 0, serverPickUp = 0, serve = 0, clientPickUp = 0;
};
ExchangeSums RecordedExchangeSums();
// Whether sessions opened from now on offer the server a shared-memory
// channel (on by default); off, every call goes over the socket.
void SetSharedChannels(bool enabled);

// A proxy (object id 1) whose requests are answered in this process by
// `loopback`, which writes the reply into its third argument and returns its
// size (0: the link failed). For driving the client's decoding in tests.
using Loopback = std::function<std::size_t(const std::uint8_t* request, std::size_t size, std::uint8_t* reply,
                                           std::size_t capacity)>;
IUnknown* LoopbackProxy(Loopback loopback);
}  // namespace debug

}  // namespace rpc
