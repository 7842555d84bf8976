// Messages that no proxy would send, from a raw socket of the same user:
// each is answered with an error or ends the connection, and the server
// goes on serving everybody else. The same bytes go straight into the
// message handler of this process too, which names the rule that a refused
// message broke. Replies that no server would send fail the call in the
// client.
#include "RpcTestSupport.h"

#include "ServerDispatch.h"
#include "testserver/ClassFactory.h"

using namespace moravane;

namespace rpctest {
namespace {

constexpr rpc::ObjectId kUnknown = 999;
constexpr rpc::ObjectId kTheServer = 0;  // stands for the server object of the session
const IID kUnregistered = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
using K = rpc::MessageKind;
using R = rpc::Refusal;
using Build = std::function<Bytes(rpc::ObjectId server)>;

// A call of `slot` on `target` with the arguments `args`, its header edited.
Build CallOf(const IID& iid, std::uint32_t slot, Bytes args = {}, std::function<void(rpc::Header&)> edit = nullptr,
             rpc::ObjectId target = kTheServer) {
  return [=](rpc::ObjectId server) {
    const Bytes message = Wire().Call(target == kTheServer ? server : target, iid, slot).Add(args).Message(K::kCall);
    return edit ? EditHeader(message, edit) : message;
  };
}
Build Fixed(Bytes message) {
  return [=](rpc::ObjectId) { return message; };
}
Build MessageOf(rpc::MessageKind kind, Bytes body) {
  return [=](rpc::ObjectId) { return Wire().Add(body).Message(kind); };
}

// A reply's HRESULT, or the rule that made the server close the connection.
struct Outcome {
  Outcome(HRESULT answer) : hr(answer) {}
  Outcome(rpc::Refusal broken) : refusal(broken) {}
  std::optional<HRESULT> hr;
  rpc::Refusal refusal = R::kNone;
};

struct BadMessage {
  const char* name;
  bool attached;  // sent after Attach and the activation of a server object
  Build build;
  Outcome outcome;
};

const BadMessage kCases[] = {
    {"shorter than a header", false, Fixed({1, 2, 3, 4}), R::kShortHeader},
    {"wrong magic", true, CallOf(IID_IServer2, 3, {}, [](rpc::Header& h) { h.magic ^= 1; }), R::kBadMagic},
    {"length field past the end", true, CallOf(IID_IServer2, 3, {}, [](rpc::Header& h) { h.length += 8; }),
     R::kBadLength},
    {"length short of the end", true, CallOf(IID_IServer2, 3, {}, [](rpc::Header& h) { h.length -= 1; }),
     R::kBadLength},
    {"request flags", true, CallOf(IID_IServer2, 3, {}, [](rpc::Header& h) { h.flags = rpc::kNotDelivered; }),
     R::kRequestFlags},
    {"call before attach", false, CallOf(IID_IServer2, 3, {}, nullptr, 1), R::kNotAttached},
    {"unknown kind", true, MessageOf(static_cast<rpc::MessageKind>(77), {}), R::kNotARequest},
    {"a reply sent to the server", true, MessageOf(K::kReply, Raw(S_OK)), R::kNotARequest},
    {"second attach", true, MessageOf(K::kAttach, Raw(std::uint64_t{0})), R::kAttachedTwice},
    {"attach to an unknown session", false, MessageOf(K::kAttach, Raw(std::uint64_t{12345})), RPC_E_DISCONNECTED},
    {"release without its count", true, MessageOf(K::kRelease, Raw(kUnknown)), R::kShortRequest},
    {"query with a byte after the IID", true,
     MessageOf(K::kQueryInterface, Raw(kUnknown, IID_IServer2, std::uint8_t{0})), R::kTrailingBytes},
    {"call on an unknown object", true, CallOf(IID_IServer2, 3, {}, nullptr, kUnknown), RPC_E_DISCONNECTED},
    {"slot of IUnknown", true, CallOf(IID_IServer2, 2), rpc::kProcNumOutOfRange},
    {"slot past the last method", true, CallOf(IID_IServer2, 15), rpc::kProcNumOutOfRange},
    {"last slot with its arguments cut short", true, CallOf(IID_IServer2, 14, Raw(rpc::kNullBstr)), R::kShortArguments},
    {"interface unknown to the server", true, CallOf(kUnregistered, 3), E_NOINTERFACE},
    {"interface the object lacks", true, CallOf(IID_ISource2, 3), E_NOINTERFACE},
    {"bytes after the arguments", true, CallOf(IID_IServer2, 3, Raw(std::uint8_t{0})), R::kTrailingBytes},
    {"argument cut short", true, CallOf(IID_IServer2, 5, Raw(std::uint32_t{1})), R::kShortArguments},
    {"BSTR past the message", true, CallOf(IID_IServer2, 11, Raw(std::uint32_t{100}, std::uint32_t{0})),
     R::kShortArguments},
    {"BSTR length near 4 GiB", true, CallOf(IID_IServer2, 11, Raw(std::uint32_t{0xFFFFFFF0u})), R::kShortArguments},
    {"GUID presence flag 2", true, CallOf(IID_IServer2, 12, Raw(rpc::kNullBstr, std::uint8_t{2})), R::kBadPresence},
    {"unknown object passed in", true, CallOf(IID_IServer2, 13, Raw(kUnknown)), RPC_E_DISCONNECTED},
    {"unknown object released", true, MessageOf(K::kRelease, Raw(kUnknown, std::uint32_t{1})), RPC_E_DISCONNECTED},
    {"release of more references than held", true,
     [](rpc::ObjectId s) { return Wire().Add(s).Add(std::uint32_t{5}).Message(K::kRelease); }, E_INVALIDARG},
    {"unknown object queried", true, MessageOf(K::kQueryInterface, Raw(kUnknown, IID_IServer2)), RPC_E_DISCONNECTED},
    {"class not published", true, MessageOf(K::kActivate, Raw(kUnregistered, IID_IUnknown)), REGDB_E_CLASSNOTREG},
    {"oversized message", true, Fixed(Bytes(rpc::kMaxMessage + 4096, 0xAB)), R::kOversized},
    {"a well-formed call, for comparison", true, CallOf(IID_IServer2, 3), S_OK},
};

// A client that sends what it is given: over a socket to the host, or
// straight into this process's handler.
class RawPeer {
 public:
  virtual ~RawPeer() = default;
  // The reply, or nothing when the server closed the connection.
  virtual std::optional<Bytes> Exchange(const Bytes& message) = 0;
  // The reply's HRESULT and the value of type T after it.
  template <class T = std::uint64_t>
  std::optional<std::pair<HRESULT, T>> Send(const Bytes& message) {
    const std::optional<Bytes> reply = Exchange(message);
    if (!reply) return std::nullopt;
    ReplyView read = ReadReply(reply->data(), reply->size());
    T value{};
    read.rest.Value(value);
    return std::make_pair(read.hr, value);
  }
  // Sends `message` and gives the value its reply carries.
  template <class T = std::uint64_t>
  T Ask(const Bytes& message) {
    return Send<T>(message).value_or(std::make_pair(E_ABORT, T{})).second;
  }
  // Attaches a session, activates a test server and makes it a server
  // object: that object's id.
  rpc::ObjectId ServerObject() {
    using testserver::IID_ITestControl;
    Ask(Wire().Add(std::uint64_t{0}).Message(K::kAttach));
    const auto control = Ask(Wire().Add(testserver::CLSID_TestServerHost).Add(IID_ITestControl).Message(K::kActivate));
    const LONG id = Ask<LONG>(Wire().Call(control, IID_ITestControl, 3).Add(kServerMask).Message(K::kCall));
    return Ask(Wire().Call(control, IID_ITestControl, 4).Add(id).Message(K::kCall));
  }
};

class SocketPeer final : public RawPeer {
 public:
  SocketPeer() {
    const std::string path = rpc::EndpointPath(rpc::EnsureEndpointDirectory(), testserver::CLSID_TestServerHost);
    m_fd.Reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    connected = ::connect(m_fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  std::optional<Bytes> Exchange(const Bytes& message) override {
    // A message that cannot be sent, or no answer at all, is no reply.
    if (::send(m_fd.Get(), message.data(), message.size(), MSG_NOSIGNAL) < 0) return Bytes{};
    pollfd watch{m_fd.Get(), POLLIN, 0};
    if (::poll(&watch, 1, 5000) <= 0) return Bytes{};
    Bytes reply(rpc::kMaxMessage);
    const ssize_t got = ::recv(m_fd.Get(), reply.data(), reply.size(), 0);
    if (got <= 0) return std::nullopt;
    reply.resize(static_cast<std::size_t>(got));
    return reply;
  }
  bool connected = false;

 private:
  rpc::Fd m_fd;
};

// The handler of this process, on a session of its own whose activations
// make test servers here.
class DirectPeer final : public RawPeer {
 public:
  DirectPeer() { m_state.factories = &Factories; }
  std::optional<Bytes> Exchange(const Bytes& message) override {
    const rpc::Handled handled = rpc::HandleMessage(m_state, message.data(), message.size(), m_reply.data());
    refusal = handled.refusal;
    if (handled.replySize == 0) return std::nullopt;
    return Bytes(m_reply.begin(), m_reply.begin() + static_cast<std::ptrdiff_t>(handled.replySize));
  }
  rpc::Refusal refusal = R::kNone;  // of the last message

 private:
  static comsupport::CComPtr<IUnknown> Factories(REFCLSID clsid) {
    static testserver::FreshServerFactory factory(testserver::FreshServer{&testserver::CreateHostedTestServer});
    if (!IsEqualCLSID(clsid, testserver::CLSID_TestServerHost)) return nullptr;
    return &factory;
  }
  rpc::ConnectionState m_state;
  Bytes m_reply = Bytes(rpc::kMaxMessage);
};

using MalformedMessages = ServerFixture;

TEST_F(MalformedMessages, AreAnsweredWithAnErrorOrAClosedConnection) {
  for (const BadMessage& row : kCases) {
    SCOPED_TRACE(row.name);
    SocketPeer socket;
    ASSERT_TRUE(socket.connected);
    DirectPeer direct;
    for (RawPeer* peer : {static_cast<RawPeer*>(&socket), static_cast<RawPeer*>(&direct)}) {
      SCOPED_TRACE(peer == &direct ? "in this process" : "over the socket");
      const rpc::ObjectId serverObject = row.attached ? peer->ServerObject() : 0;
      ASSERT_TRUE(!row.attached || serverObject != 0);
      const auto answer = peer->Send(row.build(serverObject));
      EXPECT_EQ(row.outcome.hr.has_value(), answer.has_value());
      if (row.outcome.hr && answer) {
        EXPECT_EQ(*row.outcome.hr, answer->first);
      }
    }
    EXPECT_STREQ(rpc::RefusalText(row.outcome.refusal), rpc::RefusalText(direct.refusal));
    // The server still serves a well-behaved client.
    LONG version = 0;
    OutText e;
    EXPECT_EQ(S_OK, server->GetVersion(&version, &e));
    EXPECT_EQ(7, version);
  }
  // The raw sessions end with their connections (the server sees each
  // hang-up on its own thread): only ours are left.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (client->Probe(testserver::kExportedObjects) != exported && std::chrono::steady_clock::now() < deadline) {
  }
}

// The client's side: replies that no server should send reach the caller as
// RPC_S_CALL_FAILED, with every out-value empty and nothing leaked.

struct BadReply {
  const char* name;
  Bytes reply;
  HRESULT expected;
};

Bytes Reply(HRESULT hr, const std::vector<Bytes>& values, std::uint16_t flags = 0) {
  Wire wire;
  wire.Add(hr);
  for (const Bytes& value : values) wire.Add(value);
  return wire.Message(K::kReply, flags);
}

TEST(MalformedReplies, FailTheCallAndLeakNothing) {
  ASSERT_TRUE(RegisterAll());
  const Bytes nullBstr{0xFF, 0xFF, 0xFF, 0xFF};
  const BadReply cases[] = {
      {"well formed, for comparison", Reply(S_OK, {Bstr(u".x"), nullBstr}), S_OK},
      {"failure with an error text", Reply(E_FAIL, {nullBstr, Bstr(u"why")}), E_FAIL},
      {"an out-value missing", Reply(S_OK, {Bstr(u".x")}), RPC_S_CALL_FAILED_HR},
      {"a byte too many", Reply(S_OK, {Bstr(u".x"), nullBstr, Bytes{0}}), RPC_S_CALL_FAILED_HR},
      {"BSTR longer than the reply", Reply(S_OK, {Bytes{0x40, 0, 0, 0, 'a', 0}}), RPC_S_CALL_FAILED_HR},
      {"second BSTR cut short", Reply(S_OK, {Bstr(u".x"), Bytes{8, 0, 0, 0, 'a', 0}}), RPC_S_CALL_FAILED_HR},
      {"not a reply", EditHeader(Reply(S_OK, {nullBstr, nullBstr}), [](rpc::Header& h) { h.kind = 3; }),
       RPC_S_CALL_FAILED_HR},
      {"wrong magic", EditHeader(Reply(S_OK, {nullBstr, nullBstr}), [](rpc::Header& h) { h.magic = 0; }),
       RPC_S_CALL_FAILED_HR},
      {"not delivered", Reply(RPC_E_DISCONNECTED, {}, rpc::kNotDelivered), RPC_E_DISCONNECTED},
      {"not delivered yet successful", Reply(S_OK, {}, rpc::kNotDelivered), RPC_S_CALL_FAILED_HR},
      {"no reply at all", Bytes{}, RPC_S_CALL_FAILED_HR},
  };
  for (const BadReply& row : cases) {
    SCOPED_TRACE(row.name);
    const std::int64_t bstrs = platformdebug::LiveBstrCount();
    IUnknown* proxy = rpc::debug::LoopbackProxy(
        [&row](const std::uint8_t* request, std::size_t, std::uint8_t* reply, std::size_t capacity) -> std::size_t {
          rpc::Header header;
          std::memcpy(&header, request, sizeof header);
          const Bytes answer =
              header.kind == static_cast<std::uint16_t>(rpc::MessageKind::kCall) ? row.reply : Reply(S_OK, {});
          if (!answer.empty()) std::memcpy(reply, answer.data(), std::min(answer.size(), capacity));
          return answer.size();
        });
    IServer2* server = nullptr;
    ASSERT_EQ(S_OK, proxy->QueryInterface(IID_IServer2, reinterpret_cast<void**>(&server)));
    BSTR extension = reinterpret_cast<BSTR>(1), errorText = nullptr;
    EXPECT_EQ(row.expected, server->GetProjectExtension(&extension, &errorText));
    if (FAILED(row.expected) && row.expected != E_FAIL) {
      EXPECT_EQ(nullptr, extension);
      EXPECT_EQ(nullptr, errorText);
    }
    SysFreeString(extension);
    SysFreeString(errorText);
    server->Release();
    proxy->Release();
    EXPECT_EQ(bstrs, platformdebug::LiveBstrCount());
    EXPECT_EQ(0, rpc::debug::LiveProxyObjects());
  }
}

}  // namespace
}  // namespace rpctest
