// Fuzzes both ends of the out-of-process link at once. Every object that a
// fuzzed client reaches in the server is itself a proxy whose replies also
// come from the input: a call travels request -> stub (decodes the
// arguments) -> the real object's method, which is a proxy -> its reply
// decoded by the proxy -> out-values encoded by the stub. So each slot of
// each interface is fuzzed on both sides from the registered tables alone;
// a method added to the contract is fuzzed without a change here.
//
// Byte 0 of an input (modulo 3) chooses the way in:
//   0: in this thread, straight into the message handler, on a session
//      that has attached and activated object 1;
//   1: over a real socket to a published class: the framing, the
//      credential check, descriptors passed along, the shared-memory
//      channel and hang-ups, served by the engine's own threads;
//   2: as 0, but the objects behind the stubs are the library's proxies of
//      a hostile server over a socket (its channels, region and hang-ups).
// The rest is a run of operations (Next* below). When an input is done every
// object, proxy and (in this thread) BSTR must be back to where it was.
//
// With RPC_FUZZ_WRITE_SEEDS=<folder> the program writes its seed corpus
// (one valid call for every slot of every interface, each way in, and the
// socket's special cases) and exits.
#include <contract/LinkServer.h>
#include <rpc/LinkServerProxyStub.h>
#include "ServerDispatch.h"
#include "SharedChannel.h"
#include "Transport.h"

#include <comsupport/ClassFactory.h>
#include <platformdebug.h>
#include <rpc/Rpc.h>
#include <rpc/Wire.h>

#include "../WireBuilder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace moravane;

namespace {

const CLSID kFuzzClass = {0xF022F022, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};

#define MORAVANE_FUZZ_IID(Interface) &IID_##Interface,
const IID* const kInterfaces[] = {MORAVANE_LINK_SERVER_INTERFACES(MORAVANE_FUZZ_IID)};
#undef MORAVANE_FUZZ_IID
#define MORAVANE_FUZZ_NAME(Interface) #Interface,
const char* const kInterfaceNames[] = {MORAVANE_LINK_SERVER_INTERFACES(MORAVANE_FUZZ_NAME)};
#undef MORAVANE_FUZZ_NAME
constexpr std::size_t kInterfaceCount = sizeof kInterfaces / sizeof kInterfaces[0];

int MethodCount(std::size_t index) { return rpc::FindInterface(*kInterfaces[index])->methodCount; }

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
  }
}

// The input, read front to back by whoever needs bytes next: the client
// side for its operations, the proxies inside the server for their replies
// (on the engine's threads when over the socket, hence the lock).
class Input {
 public:
  void Reset(const std::uint8_t* data, std::size_t size) {
    std::lock_guard lock(m_mutex);
    m_data = data;
    m_size = size;
  }
  bool Empty() {
    std::lock_guard lock(m_mutex);
    return m_size == 0;
  }
  std::uint8_t Byte() {
    std::lock_guard lock(m_mutex);
    if (m_size == 0) return 0;
    --m_size;
    return *m_data++;
  }
  std::size_t Length() { return Byte() | (std::size_t{Byte()} << 8); }
  std::vector<std::uint8_t> Bytes(std::size_t size) {
    std::lock_guard lock(m_mutex);
    return TakeLocked(size);
  }

 private:
  std::vector<std::uint8_t> TakeLocked(std::size_t size) {
    size = std::min(size, m_size);
    std::vector<std::uint8_t> taken(m_data, m_data + size);
    m_data += size;
    m_size -= size;
    return taken;
  }
  std::mutex m_mutex;
  const std::uint8_t* m_data = nullptr;
  std::size_t m_size = 0;
};
Input g_input;

using rpctest::Wire;
using K = rpc::MessageKind;

// What the server's objects answer. Queries and releases succeed and
// activation hands out object 1 without input; a call's reply is the next
// record: flags, length, bytes (the HRESULT and out-values, or with flags
// bit 0 a whole message as is; bit 2: no answer, the link fails).
std::size_t Answer(const std::uint8_t* request, std::uint8_t* reply, std::size_t capacity) {
  rpc::Header header;
  std::memcpy(&header, request, sizeof header);
  std::vector<std::uint8_t> message;
  if (header.kind == static_cast<std::uint16_t>(rpc::MessageKind::kActivate)) {
    message = Wire().Add(S_OK).Add(rpc::ObjectId{1}).Message(K::kReply);
  } else if (header.kind != static_cast<std::uint16_t>(rpc::MessageKind::kCall)) {
    message = Wire().Add(S_OK).Message(K::kReply);
  } else {
    const std::uint8_t flags = g_input.Byte();
    std::vector<std::uint8_t> body = g_input.Bytes(g_input.Length());
    if (flags & 4) return 0;
    message = flags & 1 ? std::move(body) : Wire().Add(body).Message(K::kReply, flags >> 1 & 1);
  }
  const std::size_t size = std::min(message.size(), capacity);
  if (size != 0) std::memcpy(reply, message.data(), size);
  return size;
}

// Whether the objects handed out are proxies of the hostile server over a
// socket (below) rather than of the loopback.
bool g_overSocket = false;
const CLSID kHostileClass = {0xF022F022, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 2}};

comsupport::StaticClassFactory g_factory([](REFIID iid, void** object) {
  if (g_overSocket) return rpc::ActivateRemote(kHostileClass, iid, object);
  const auto proxy = comsupport::CComPtr<IUnknown>::Adopt(
      rpc::debug::LoopbackProxy([](const std::uint8_t* request, std::size_t, std::uint8_t* reply,
                                   std::size_t capacity) { return Answer(request, reply, capacity); }));
  return comsupport::HandOut(proxy, iid, object);
});

comsupport::CComPtr<IUnknown> FindFactory(REFCLSID clsid) {
  return IsEqualCLSID(clsid, kFuzzClass) ? &g_factory : nullptr;
}

// The next request of the client. Interfaces and slots are picked from the
// registered tables (a slot byte from 0xF0 up is taken raw, out of range
// included), objects by their session id.
std::vector<std::uint8_t> NextRequest(std::uint8_t op) {
  switch (op % 4) {
    case 0: {
      const std::size_t index = g_input.Byte() % kInterfaceCount;
      const std::uint8_t slotByte = g_input.Byte();
      const std::uint32_t slot = slotByte >= 0xF0 ? slotByte - 0xF0u : 3u + slotByte % MethodCount(index);
      const rpc::ObjectId id{g_input.Byte()};
      return Wire().Call(id, *kInterfaces[index], slot).Add(g_input.Bytes(g_input.Length())).Message(K::kCall);
    }
    case 1: {
      const rpc::ObjectId id{g_input.Byte()};
      return Wire().Add(id).Add(*kInterfaces[g_input.Byte() % kInterfaceCount]).Message(K::kQueryInterface);
    }
    case 2: {
      const rpc::ObjectId id{g_input.Byte()};
      return Wire().Add(id).Add(std::uint32_t{g_input.Byte()}).Message(K::kRelease);
    }
    default:
      return g_input.Bytes(g_input.Length());  // anything, header included
  }
}

std::vector<std::uint8_t> AttachRequest(std::uint64_t token) { return Wire().Add(token).Message(K::kAttach); }

std::vector<std::uint8_t> ActivateRequest(const IID& iid) {
  return Wire().Add(kFuzzClass).Add(iid).Message(K::kActivate);
}

// In this thread. Returns the HRESULT of the last reply (for the seed
// writer), or 1 when the connection was closed as malformed.
HRESULT FuzzInProcess() {
  const std::int64_t bstrs = platformdebug::LiveBstrCount();
  static std::vector<std::uint8_t> reply(rpc::kMaxMessage);
  HRESULT last = S_OK;
  {
    rpc::ConnectionState state;
    state.factories = &FindFactory;
    for (auto request : {AttachRequest(0), ActivateRequest(IID_IUnknown)}) {
      Check(rpc::HandleMessage(state, request.data(), request.size(), reply.data()).replySize != 0, "set-up");
    }
    while (!g_input.Empty()) {
      const std::vector<std::uint8_t> request = NextRequest(g_input.Byte());  // exact size: overreads are caught
      const rpc::Handled handled = rpc::HandleMessage(state, request.data(), request.size(), reply.data());
      Check((handled.replySize == 0) == (handled.refusal != rpc::Refusal::kNone), "a reply or a named refusal");
      if (handled.replySize == 0) return last = 1, last;
      last = rpctest::ReadReply(reply.data(), handled.replySize).hr;
    }
  }
  Check(rpc::debug::ExportedObjects() == 0, "every object released with the session");
  Check(rpc::debug::LiveProxyObjects() == 0, "every proxy released");
  Check(platformdebug::LiveBstrCount() == bstrs, "every BSTR freed");
  return last;
}

std::string g_endpoint;

// A hostile server for the library's own client: it answers the channels
// that the library opens from the input, taking the offered region or not
// (attach record: bit 0 take it, bit 1 fail, bit 2 no token), and hangs up
// when a reply record says so.
void ServeHostile(rpc::Fd socket) {
  std::vector<std::uint8_t> request(rpc::kMaxMessage), reply(rpc::kMaxMessage);
  rpc::SharedMapping region;
  std::uint64_t watch = 0;
  for (;;) {
    std::size_t size = 0;
    if (watch != 0) {
      if (rpc::ServerAwaitRequest(*region.Get()) != rpc::kRequest) break;
      size = std::min<std::size_t>(region.Get()->requestSize, rpc::kMaxMessage);
      std::memcpy(request.data(), region.Get()->request, size);
    } else {
      rpc::Fd passed;
      const long received = rpc::ReceiveMessage(socket.Get(), request.data(), request.size(), &passed);
      if (received < long(sizeof(rpc::Header))) break;
      size = std::size_t(received);
      if (request[8] == std::uint8_t(rpc::MessageKind::kAttach)) {
        const std::uint8_t choice = g_input.Byte();
        const bool take = choice & 1 && !passed.IsEmpty() && region.Map(passed.Get());
        const std::vector<std::uint8_t> answer = Wire()
                                                     .Add(choice & 2 ? E_FAIL : S_OK)
                                                     .Add(std::uint64_t{choice & 4 ? 0u : 7u})
                                                     .Add(std::uint32_t{take})
                                                     .Message(K::kReply);
        if (!rpc::SendMessage(socket.Get(), answer.data(), answer.size())) break;
        if (take) {
          rpc::SharedRegion* mapped = region.Get();
          watch = rpc::HangupMonitor::Instance().Watch(socket.Get(), [mapped] { rpc::CloseRegion(*mapped); });
          if (watch == 0) break;
        }
        continue;
      }
    }
    const std::size_t answer = Answer(request.data(), reply.data(), reply.size());
    if (answer == 0) break;  // hang up
    if (watch != 0) {
      std::memcpy(region.Get()->reply, reply.data(), answer);
      rpc::ServerPublishReply(*region.Get(), std::uint32_t(answer));
    } else if (!rpc::SendMessage(socket.Get(), reply.data(), answer)) {
      break;
    }
  }
  if (watch != 0) rpc::HangupMonitor::Instance().Unwatch(watch);
}

void StartHostileServer() {
  const rpc::SocketAddress address(rpc::EndpointPath(rpc::EndpointDirectory(), kHostileClass));
  rpc::Fd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  Check(address.Valid() && ::bind(listener.Get(), address.Get(), address.Size()) == 0 &&
            ::listen(listener.Get(), 16) == 0,
        "hostile server");
  std::thread([listener = std::move(listener)] {
    for (;;) {
      rpc::Fd client(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client) std::thread(ServeHostile, std::move(client)).detach();
    }
  }).detach();
}

void Publish() {
  char folder[] = "/tmp/rpc-fuzz-XXXXXX";
  Check(::mkdtemp(folder) != nullptr, "runtime folder");
  ::setenv("XDG_RUNTIME_DIR", folder, 1);
  ::setenv("XDG_CONFIG_HOME", folder, 1);  // no registrations: nothing is started
  Check(SUCCEEDED(rpc::PublishClass(1, kFuzzClass, &g_factory, 0)), "publication");
  g_endpoint = rpc::EndpointPath(rpc::EndpointDirectory(), kFuzzClass);
}

// A client channel to the published class, driven by hand. Once the
// server took its region, requests go through the region; the channel
// watches its socket, so that the server's hang-up ends a wait there.
struct Channel {
  rpc::Fd socket;
  rpc::SharedMapping region;
  bool shared = false;
  std::uint64_t token = 0;
  std::uint64_t watch = 0;

  Channel() { Check(rpc::ConnectEndpoint(g_endpoint, socket) == rpc::ConnectResult::kConnected, "connect"); }
  ~Channel() {
    if (watch != 0) rpc::HangupMonitor::Instance().Unwatch(watch);
  }
  // Sends a request and reads the reply; false when the server hung up.
  bool Exchange(const std::vector<std::uint8_t>& request, bool attach = false, int passFd = -1) {
    static std::vector<std::uint8_t> reply(rpc::kMaxMessage);
    if (shared) {
      rpc::SharedRegion& mapped = *region.Get();
      if (!request.empty()) std::memcpy(mapped.request, request.data(), std::min(request.size(), rpc::kMaxMessage));
      bool delivered = false;
      if (rpc::ClientExchange(mapped, static_cast<std::uint32_t>(request.size()), delivered) != rpc::kReplied) {
        return false;
      }
      rpc::ClientConsumedReply(mapped);
      return true;
    }
    if (!rpc::SendMessage(socket.Get(), request.data(), request.size(), passFd)) return false;
    const long size = rpc::ReceiveMessage(socket.Get(), reply.data(), reply.size());
    if (attach && size == long(sizeof(rpc::Header) + 16)) {
      rpctest::ReplyView read = rpctest::ReadReply(reply.data(), std::size_t(size));
      std::uint32_t taken = 0;
      read.rest.Value(token);
      read.rest.Value(taken);
      shared = SUCCEEDED(read.hr) && taken == 1 && region.Get() != nullptr;
      if (shared) {
        rpc::SharedRegion* mapped = region.Get();
        watch = rpc::HangupMonitor::Instance().Watch(socket.Get(), [mapped] { rpc::CloseRegion(*mapped); });
        Check(watch != 0, "watch");
      }
    }
    return size > 0;
  }
};

// A descriptor to pass along with an Attach: a proper region, or one the
// server must refuse (a pipe, a memfd without seals, one of the wrong size).
rpc::Fd AttachDescriptor(std::uint8_t choice, Channel& channel) {
  rpc::Fd fd;
  if (channel.shared) return fd;  // the region in use stays
  switch (choice % 5) {
    case 1:
      channel.region.Create(fd);
      break;
    case 2: {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) == 0) {
        ::close(ends[1]);
        fd = rpc::Fd(ends[0]);
      }
      break;
    }
    case 3:
    case 4:
      fd = rpc::Fd(::memfd_create("fuzz", MFD_CLOEXEC | MFD_ALLOW_SEALING));
      if (::ftruncate(fd.Get(), choice % 5 == 3 ? sizeof(rpc::SharedRegion) : 4096) != 0) fd.Reset();
      break;
    default:
      break;
  }
  return fd;
}

// Over the socket. Operations beyond the in-process ones: 4 attach (with
// a descriptor, joining the session of the previous channel or not) and
// activate, 5 open one more channel, 6 leave a request in the shared region
// and hang up before the reply, 7 a message larger than any the server
// takes. At the end every channel hangs up.
void FuzzSocket() {
  {
    std::vector<std::unique_ptr<Channel>> channels;
    channels.push_back(std::make_unique<Channel>());
    while (!g_input.Empty()) {
      Channel& channel = *channels.back();
      const std::uint8_t op = g_input.Byte();
      bool alive = true;
      if (op % 8 == 4) {
        const std::uint8_t choice = g_input.Byte();
        const std::uint64_t token = choice & 0x80 && channels.size() > 1 ? channels[channels.size() - 2]->token : 0;
        rpc::Fd fd = AttachDescriptor(choice, channel);
        alive = channel.Exchange(AttachRequest(token), true, fd.Get()) &&
                channel.Exchange(ActivateRequest(*kInterfaces[g_input.Byte() % kInterfaceCount]));
      } else if (op % 8 == 5) {
        alive = false;
      } else if (op % 8 == 6) {
        if (channel.shared) {
          channel.region.Get()->requestSize = sizeof(rpc::Header);
          channel.region.Get()->state.store(rpc::kRequest);
        }
        channels.back() = std::make_unique<Channel>();
      } else if (op % 8 == 7) {
        alive = channel.Exchange(std::vector<std::uint8_t>(rpc::kMaxMessage + 1 + g_input.Byte()));
      } else {
        alive = channel.Exchange(NextRequest(op));
      }
      if (!alive) {
        if (channels.size() >= 8) break;
        channels.push_back(std::make_unique<Channel>());
      }
    }
  }
}

// Seeds: for each slot the shortest zero-filled arguments and reply that
// decode (zeros are a valid LONG, number, GUID, empty BSTR, null GUID* and
// null object alike), found by asking the stubs and proxies themselves.
void WriteSeeds(const std::string& folder) {
  auto write = [&folder](const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(folder + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  auto call = [](std::size_t index, int slot, std::size_t args, std::size_t reply) {
    std::vector<std::uint8_t> input = {
        0, 0, static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(slot - 3), 1, static_cast<std::uint8_t>(args),
        0};
    input.resize(input.size() + args);
    input.insert(input.end(), {0, static_cast<std::uint8_t>(reply), 0});
    input.resize(input.size() + reply);
    return input;
  };
  auto run = [](const std::vector<std::uint8_t>& input) {
    g_input.Reset(input.data() + 1, input.size() - 1);
    return FuzzInProcess();
  };
  for (std::size_t index = 0; index < kInterfaceCount; ++index) {
    for (int slot = 3; slot < 3 + MethodCount(index); ++slot) {
      std::size_t args = 0, reply = 4;
      while (args < 200 && run(call(index, slot, args, 200)) == 1) ++args;
      while (reply < 200 && run(call(index, slot, args, reply)) != S_OK) ++reply;
      Check(args < 200 && reply < 200, "a decodable call for every slot");
      std::vector<std::uint8_t> input = call(index, slot, args, reply);
      const std::string name = kInterfaceNames[index] + std::string("-") + std::to_string(slot);
      write("local-" + name, input);
      input[0] = 1;  // over the socket: attach with a region, activate the interface, call
      input.insert(input.begin() + 1, {4, 1, static_cast<std::uint8_t>(index)});
      write("socket-" + name, input);
      input.erase(input.begin() + 1, input.begin() + 4);
      input[0] = 2;  // in process, the objects behind the stubs over a socket: attach taking the region
      input.insert(input.begin() + 1, 1);
      write("victim-" + name, input);
    }
  }
  // Over the socket: attach with each kind of descriptor and call; a second
  // channel joining the session; a request abandoned in the region; an
  // oversized message through the socket and through the region.
  const std::vector<std::uint8_t> getVersion = {0, 0, 0, 1, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (std::uint8_t choice = 0; choice < 5; ++choice) {
    std::vector<std::uint8_t> input = {1, 4, choice, 0};
    input.insert(input.end(), getVersion.begin(), getVersion.end());
    write("socket-attach-" + std::to_string(choice), input);
  }
  std::vector<std::uint8_t> join = {1, 4, 1, 0, 5, 4, 0x81, 0};
  join.insert(join.end(), getVersion.begin(), getVersion.end());
  write("socket-join", join);
  write("socket-abandon", {1, 4, 1, 0, 6});
  write("socket-oversize", {1, 4, 0, 0, 7, 9});
  write("socket-oversize-shared", {1, 4, 1, 0, 7, 9});
  // The library's client against a server that refuses the region, fails
  // the attach, sends no token, hangs up in a call or answers garbage.
  const std::vector<std::uint8_t> version = {0, 0, 0, 1, 0, 0};
  for (std::uint8_t choice : {0, 2, 4}) {
    std::vector<std::uint8_t> input = {2, choice};
    input.insert(input.end(), version.begin(), version.end());
    input.insert(input.end(), {0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    write("victim-attach-" + std::to_string(choice), input);
  }
  for (std::uint8_t taken : {0, 1}) {
    std::vector<std::uint8_t> input = {2, taken};
    input.insert(input.end(), version.begin(), version.end());
    input.insert(input.end(), {4, 0, 0});  // hang up instead of answering
    input.insert(input.end(), version.begin(), version.end());
    write("victim-hangup-" + std::to_string(taken), input);
    input = {2, taken};
    input.insert(input.end(), version.begin(), version.end());
    input.insert(input.end(), {1, 3, 0, 1, 2, 3});  // three bytes where a message belongs
    write("victim-garbage-" + std::to_string(taken), input);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Check(RegisterLinkServerProxyStubs(), "tables registered");
  Publish();
  StartHostileServer();
  rpc::SetActivationTimeout(std::chrono::seconds(5));
  rpc::HangupMonitor::Instance();  // its thread counts as the engine's own
  std::atexit([] {
    rpc::WithdrawClass(1);
    std::error_code ignored;
    std::filesystem::remove_all(std::getenv("XDG_RUNTIME_DIR"), ignored);
  });
  if (const char* folder = std::getenv("RPC_FUZZ_WRITE_SEEDS")) {
    WriteSeeds(folder);
    std::exit(0);
  }
  return 0;
}

std::size_t ThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::size_t threads = ThreadCount();  // the engine's own and the fuzzer's
  if (size < 1) return 0;
  g_input.Reset(data + 1, size - 1);
  g_overSocket = data[0] % 3 == 2;
  if (data[0] % 3 == 1) {
    FuzzSocket();
  } else {
    FuzzInProcess();
  }
  // Both ends' threads see the hang-ups and end the sessions.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (rpc::debug::ExportedObjects() != 0 || rpc::debug::LiveProxyObjects() != 0 || ThreadCount() > threads) {
    Check(std::chrono::steady_clock::now() < deadline, "every object released and connection ended after hang-up");
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return 0;
}
