// Messages that no proxy would send, from a raw socket of the same user:
// each is answered with an error or ends the connection, and the server
// goes on serving everybody else.
#include "RpcTestSupport.h"

#include <platformdebug.h>
#include <rpc/Wire.h>

#include "rpc/Transport.h"

#include <optional>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>

using namespace moravane;

namespace rpctest {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Body {
 public:
  template <class T>
  Body& Add(const T& value) {
    const std::size_t at = m_bytes.size();
    m_bytes.resize(at + sizeof value);
    std::memcpy(m_bytes.data() + at, &value, sizeof value);
    return *this;
  }
  Body& Call(rpc::ObjectId id, const IID& iid, std::uint32_t slot) { return Add(id).Add(iid).Add(slot); }
  Bytes Message(rpc::MessageKind kind) const {
    rpc::Header header{rpc::kMagic, static_cast<std::uint32_t>(sizeof(rpc::Header) + m_bytes.size()),
                       static_cast<std::uint16_t>(kind), 0, 1};
    Bytes message(sizeof header);
    std::memcpy(message.data(), &header, sizeof header);
    message.insert(message.end(), m_bytes.begin(), m_bytes.end());
    return message;
  }

 private:
  Bytes m_bytes;
};

template <class Edit>
Bytes EditHeader(Bytes message, Edit edit) {
  rpc::Header header;
  std::memcpy(&header, message.data(), sizeof header);
  edit(header);
  std::memcpy(message.data(), &header, sizeof header);
  return message;
}

constexpr rpc::ObjectId kUnknown = 999;
const IID kUnregistered = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

enum class Expect { kClosed, kReply };

struct BadMessage {
  const char* name;
  bool attached;  // sent after Attach and the activation of a server object
  std::function<Bytes(rpc::ObjectId server)> build;
  Expect expect;
  HRESULT hr;
};

const BadMessage kCases[] = {
    {"shorter than a header", false,
     [](rpc::ObjectId) {
       return Bytes{1, 2, 3, 4};
     },
     Expect::kClosed, S_OK},
    {"wrong magic", true,
     [](rpc::ObjectId s) {
       return EditHeader(Body().Call(s, IID_IServer2, 3).Message(rpc::MessageKind::kCall),
                         [](rpc::Header& h) { h.magic ^= 1; });
     },
     Expect::kClosed, S_OK},
    {"length field past the end", true,
     [](rpc::ObjectId s) {
       return EditHeader(Body().Call(s, IID_IServer2, 3).Message(rpc::MessageKind::kCall),
                         [](rpc::Header& h) { h.length += 8; });
     },
     Expect::kClosed, S_OK},
    {"length field short of the end", true,
     [](rpc::ObjectId s) {
       return EditHeader(Body().Call(s, IID_IServer2, 3).Message(rpc::MessageKind::kCall),
                         [](rpc::Header& h) { h.length -= 1; });
     },
     Expect::kClosed, S_OK},
    {"flags in a request", true,
     [](rpc::ObjectId s) {
       return EditHeader(Body().Call(s, IID_IServer2, 3).Message(rpc::MessageKind::kCall),
                         [](rpc::Header& h) { h.flags = rpc::kNotDelivered; });
     },
     Expect::kClosed, S_OK},
    {"call before attach", false,
     [](rpc::ObjectId) { return Body().Call(1, IID_IServer2, 3).Message(rpc::MessageKind::kCall); }, Expect::kClosed,
     S_OK},
    {"unknown kind", true, [](rpc::ObjectId) { return Body().Message(static_cast<rpc::MessageKind>(77)); },
     Expect::kClosed, S_OK},
    {"a reply sent to the server", true,
     [](rpc::ObjectId) { return Body().Add(S_OK).Message(rpc::MessageKind::kReply); }, Expect::kClosed, S_OK},
    {"second attach", true,
     [](rpc::ObjectId) { return Body().Add(std::uint64_t{0}).Message(rpc::MessageKind::kAttach); }, Expect::kClosed,
     S_OK},
    {"attach to an unknown session", false,
     [](rpc::ObjectId) { return Body().Add(std::uint64_t{12345}).Message(rpc::MessageKind::kAttach); }, Expect::kReply,
     RPC_E_DISCONNECTED},
    {"call on an unknown object", true,
     [](rpc::ObjectId) { return Body().Call(kUnknown, IID_IServer2, 3).Message(rpc::MessageKind::kCall); },
     Expect::kReply, RPC_E_DISCONNECTED},
    {"slot of IUnknown", true,
     [](rpc::ObjectId s) { return Body().Call(s, IID_IServer2, 2).Message(rpc::MessageKind::kCall); }, Expect::kReply,
     rpc::kProcNumOutOfRange},
    {"slot past the last method", true,
     [](rpc::ObjectId s) { return Body().Call(s, IID_IServer2, 15).Message(rpc::MessageKind::kCall); }, Expect::kReply,
     rpc::kProcNumOutOfRange},
    {"interface unknown to the server", true,
     [](rpc::ObjectId s) { return Body().Call(s, kUnregistered, 3).Message(rpc::MessageKind::kCall); }, Expect::kReply,
     E_NOINTERFACE},
    {"interface the object lacks", true,
     [](rpc::ObjectId s) { return Body().Call(s, IID_ISource2, 3).Message(rpc::MessageKind::kCall); }, Expect::kReply,
     E_NOINTERFACE},
    {"bytes after the arguments", true,
     [](rpc::ObjectId s) {
       return Body().Call(s, IID_IServer2, 3).Add(std::uint8_t{0}).Message(rpc::MessageKind::kCall);
     },
     Expect::kClosed, S_OK},
    {"argument cut short", true,
     [](rpc::ObjectId s) {
       return Body().Call(s, IID_IServer2, 5).Add(std::uint32_t{1}).Message(rpc::MessageKind::kCall);
     },
     Expect::kClosed, S_OK},
    {"BSTR longer than the message", true,
     [](rpc::ObjectId s) {
       return Body()
           .Call(s, IID_IServer2, 11)
           .Add(std::uint32_t{100})
           .Add(std::uint32_t{0})
           .Message(rpc::MessageKind::kCall);
     },
     Expect::kClosed, S_OK},
    {"BSTR length near 4 GiB", true,
     [](rpc::ObjectId s) {
       return Body().Call(s, IID_IServer2, 11).Add(std::uint32_t{0xFFFFFFF0u}).Message(rpc::MessageKind::kCall);
     },
     Expect::kClosed, S_OK},
    {"GUID presence flag neither 0 nor 1", true,
     [](rpc::ObjectId s) {
       return Body()
           .Call(s, IID_IServer2, 12)
           .Add(rpc::kNullBstr)
           .Add(std::uint8_t{2})
           .Message(rpc::MessageKind::kCall);
     },
     Expect::kClosed, S_OK},
    {"unknown object passed in", true,
     [](rpc::ObjectId s) { return Body().Call(s, IID_IServer2, 13).Add(kUnknown).Message(rpc::MessageKind::kCall); },
     Expect::kReply, RPC_E_DISCONNECTED},
    {"release of an unknown object", true,
     [](rpc::ObjectId) { return Body().Add(kUnknown).Add(std::uint32_t{1}).Message(rpc::MessageKind::kRelease); },
     Expect::kReply, RPC_E_DISCONNECTED},
    {"release of more references than held", true,
     [](rpc::ObjectId s) { return Body().Add(s).Add(std::uint32_t{5}).Message(rpc::MessageKind::kRelease); },
     Expect::kReply, E_INVALIDARG},
    {"query on an unknown object", true,
     [](rpc::ObjectId) { return Body().Add(kUnknown).Add(IID_IServer2).Message(rpc::MessageKind::kQueryInterface); },
     Expect::kReply, RPC_E_DISCONNECTED},
    {"activation of a class not published", true,
     [](rpc::ObjectId) { return Body().Add(kUnregistered).Add(IID_IUnknown).Message(rpc::MessageKind::kActivate); },
     Expect::kReply, REGDB_E_CLASSNOTREG},
    {"oversized message", true, [](rpc::ObjectId) { return Bytes(rpc::kMaxMessage + 4096, 0xAB); }, Expect::kClosed,
     S_OK},
    {"a well-formed call, for comparison", true,
     [](rpc::ObjectId s) { return Body().Call(s, IID_IServer2, 3).Message(rpc::MessageKind::kCall); }, Expect::kReply,
     S_OK},
};

class RawClient {
 public:
  RawClient() {
    const std::string path = rpc::EndpointPath(rpc::EnsureEndpointDirectory(), CLSID_TestLinkServer);
    m_fd.Reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    connected = ::connect(m_fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  bool Send(const Bytes& message) { return ::send(m_fd.Get(), message.data(), message.size(), MSG_NOSIGNAL) >= 0; }
  // The reply's HRESULT and the value after it (when any), or nothing when
  // the server closed the connection.
  std::optional<std::pair<HRESULT, std::uint64_t>> Receive() {
    pollfd watch{m_fd.Get(), POLLIN, 0};
    if (::poll(&watch, 1, 5000) <= 0) return std::make_pair(E_ABORT, std::uint64_t{0});
    std::uint8_t buffer[256];
    const ssize_t got = ::recv(m_fd.Get(), buffer, sizeof buffer, 0);
    if (got <= 0) return std::nullopt;
    rpc::Reader reader(buffer, static_cast<std::size_t>(got));
    rpc::Header header;
    HRESULT hr = E_ABORT;
    std::uint64_t value = 0;
    if (!rpc::ReadHeader(reader, static_cast<std::size_t>(got), header) || !reader.Value(hr)) {
      return std::make_pair(E_ABORT, std::uint64_t{0});
    }
    reader.Value(value);
    return std::make_pair(hr, value);
  }
  bool connected = false;

 private:
  rpc::Fd m_fd;
};

class MalformedMessages : public ServerFixture {};

TEST_F(MalformedMessages, AreAnsweredWithAnErrorOrAClosedConnection) {
  for (const BadMessage& row : kCases) {
    SCOPED_TRACE(row.name);
    RawClient raw;
    ASSERT_TRUE(raw.connected);
    rpc::ObjectId serverObject = 0;
    if (row.attached) {
      ASSERT_TRUE(raw.Send(Body().Add(std::uint64_t{0}).Message(rpc::MessageKind::kAttach)));
      ASSERT_TRUE(raw.Receive().has_value());
      ASSERT_TRUE(raw.Send(Body().Add(CLSID_TestLinkServer).Add(IID_IServer2).Message(rpc::MessageKind::kActivate)));
      auto activated = raw.Receive();
      ASSERT_TRUE(activated.has_value());
      ASSERT_EQ(S_OK, activated->first);
      serverObject = activated->second;
    }
    ASSERT_TRUE(raw.Send(row.build(serverObject)) || row.expect == Expect::kClosed);
    const auto answer = raw.Receive();
    if (row.expect == Expect::kClosed) {
      EXPECT_FALSE(answer.has_value()) << std::hex << answer->first;
    } else {
      ASSERT_TRUE(answer.has_value());
      EXPECT_EQ(row.hr, answer->first);
    }
    // The server still serves a well-behaved client.
    LONG version = 0;
    OutText e;
    EXPECT_EQ(S_OK, server->GetVersion(&version, &e));
    EXPECT_EQ(7, version);
  }
  // The raw sessions end with their connections (the server sees each
  // hang-up on its own thread): only ours is left.
  LONG exported = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  do {
    OutText e;
    control->GetExportedObjects(&exported, &e);
  } while (exported != 1 && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(1, exported);
}

}  // namespace
}  // namespace rpctest

namespace rpctest {
namespace {

// The client's side: replies that no server should send reach the caller as
// RPC_S_CALL_FAILED, with every out-value empty and nothing leaked.
struct BadReply {
  const char* name;
  Bytes reply;
  HRESULT expected;
};

Bytes Bstr(const std::u16string& text) {
  Bytes bytes(4 + text.size() * 2);
  const std::uint32_t length = static_cast<std::uint32_t>(text.size() * 2);
  std::memcpy(bytes.data(), &length, 4);
  std::memcpy(bytes.data() + 4, text.data(), length);
  return bytes;
}

Bytes Reply(HRESULT hr, const std::vector<Bytes>& values, std::uint16_t flags = 0) {
  Body body;
  body.Add(hr);
  Bytes message = body.Message(rpc::MessageKind::kReply);
  for (const Bytes& value : values) message.insert(message.end(), value.begin(), value.end());
  return EditHeader(message, [&](rpc::Header& h) {
    h.length = static_cast<std::uint32_t>(message.size());
    h.flags = flags;
  });
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
