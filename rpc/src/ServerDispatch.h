// The server's side of the protocol, apart from the sockets: sessions with
// their tables of exported objects, and the handling of one request.
// Kept free of I/O so that it can be driven by tests and fuzzers directly.
#pragma once

#include <comsupport/ComPtr.h>
#include <rpc/ProxyStub.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace rpc {

// The objects that one client process holds. References are counted per
// object as the number of times it was sent to the client; the client
// gives them back in one Release when its last proxy goes. The session
// ends when the client's last channel closes: everything still held is
// released at once, also when the client died.
class ServerSession {
 public:
  explicit ServerSession(std::uint64_t token) : m_token(token) {}
  ~ServerSession();
  ServerSession(const ServerSession&) = delete;
  ServerSession& operator=(const ServerSession&) = delete;

  std::uint64_t Token() const { return m_token; }
  // 0 when the object does not answer IUnknown.
  ObjectId Export(IUnknown* object);
  // A reference on the object's interface `iid` (held as its IUnknown
  // base, which every interface starts with), or null with `hr` set.
  comsupport::CComPtr<IUnknown> Resolve(ObjectId id, REFIID iid, HRESULT& hr);
  HRESULT ReleaseExports(ObjectId id, std::uint32_t count);
  // References this session's table holds on the object whose IUnknown is
  // `identity`: its identity and each interface resolved so far.
  long ReferencesOn(IUnknown* identity);

 private:
  struct Entry {
    comsupport::CComPtr<IUnknown> identity;
    std::uint64_t exports = 0;
    std::vector<std::pair<IID, comsupport::CComPtr<IUnknown>>> interfaces;
  };
  // Counts the entry out, then drops its references.
  static void Drop(Entry& entry);

  const std::uint64_t m_token;
  std::mutex m_mutex;
  std::unordered_map<ObjectId, Entry> m_objects;
  std::unordered_map<IUnknown*, ObjectId> m_byIdentity;
  ObjectId m_next = 1;
};

// Finds the published factory of a class, or null.
using FactoryLookup = comsupport::CComPtr<IUnknown> (*)(REFCLSID clsid);

// The state of one connection: the session it is attached to, if any.
struct ConnectionState {
  std::shared_ptr<ServerSession> session;
  FactoryLookup factories = nullptr;
  // The client's shared region came with its Attach and is mapped: later
  // requests come through it.
  bool sharedMapped = false;
};

// Why a message was refused: the rule of the protocol it broke. A refused
// message gets no reply and ends the connection: no proxy sends it, so the
// peer is broken or hostile, and nothing it sends later can be trusted.
enum class Refusal : std::uint8_t {
  kNone,            // answered (also when the answer is an error)
  kOversized,       // longer than kMaxMessage
  kShortHeader,     // shorter than a header
  kBadMagic,        // the header does not start with kMagic
  kBadLength,       // the header's length is not the message's
  kRequestFlags,    // flags are for replies only
  kNotARequest,     // its kind is no request (unknown, or a reply)
  kNotAttached,     // a request other than Attach before Attach
  kAttachedTwice,   // a second Attach on one connection
  kShortRequest,    // the request ends inside its fixed fields
  kShortArguments,  // a call's arguments end before its parameters do
  kBadPresence,     // an optional argument's presence byte is neither 0 nor 1
  kTrailingBytes,   // bytes after the last field or argument
};

// One line of text for the log.
const char* RefusalText(Refusal refusal);

struct Handled {
  std::size_t replySize = 0;  // 0 when refused
  Refusal refusal = Refusal::kNone;
};

// Handles one received message and writes the reply into `reply`, which
// holds kMaxMessage bytes: every reply fits there, since a call whose
// out-values would not fit is answered as not delivered.
Handled HandleMessage(ConnectionState& state, const std::uint8_t* message, std::size_t size, std::uint8_t* reply);

// Sessions by token, so that further channels can join one.
std::shared_ptr<ServerSession> OpenSession();
std::shared_ptr<ServerSession> FindSession(std::uint64_t token);

}  // namespace rpc
