// The cost of a remote call between two processes, beside the floors it
// stands on, measured between the same two processes in the same run:
//   - a bare Unix seqpacket round trip of the same message sizes,
//   - a bare shared-memory round trip with the same bounded spin and futex,
//   - IServer2::GetVersion through a proxy, over the shared-memory channel
//     and over the socket alone, from 1, 2 and 8 client threads.
// The peers are forked before any thread starts; each ends when its link
// to this process closes.
#include <contract/LinkServer.h>
#include <rpc/LinkServerProxyStub.h>
#include "SharedChannel.h"

#include <benchmark/benchmark.h>
#include <comsupport/ClassFactory.h>
#include <rpc/Rpc.h>
#include <rpc/Wire.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace moravane;

namespace {

// Sizes of GetVersion on the wire: header, object id, IID, slot / header,
// HRESULT, LONG, null BSTR.
constexpr std::size_t kRequestSize = sizeof(rpc::Header) + 8 + 16 + 4;
constexpr std::size_t kReplySize = sizeof(rpc::Header) + 4 + 4 + 4;

const CLSID kSharedClass = {0x51C0FFEE, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};
const CLSID kSocketClass = {0x51C0FFEE, 0x0002, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 2}};

class NullServer final : public IServer2 {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = (iid == IID_IUnknown || iid == IID_IServer2) ? this : nullptr;
    return *object != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetVersion(LONG* version, BSTR*) override {
    *version = 7;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMinimumMemoryRequirements(ULONGLONG*, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetIdleTimeMemoryUsage(ULONGLONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetTemporaryMemoryUsage(ULONGLONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCurrentMemoryUsage(ULONGLONG*, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE PurgeMemory(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CacheFinalFrame(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProjectExtension(BSTR*, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenProject(BSTR, IUnknown**, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenProjectShowSource(BSTR, GUID*, IUnknown**, IUnknown**, BSTR*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CloseProject(IUnknown*, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateSource(BSTR, LONG, LONG, LONG, LONG, LONG, LONG, double, IUnknown**, IUnknown**,
                                         BSTR*) override {
    return E_NOTIMPL;
  }
};

struct Peers {
  int socket = -1;  // the bare socket peer's other end
  rpc::SharedRegion* region = nullptr;
  int serverLife = -1;  // closing it ends the server
  std::vector<pid_t> children;
  IServer2* overShared = nullptr;
  IServer2* overSocket = nullptr;
};
Peers g_peers;

pid_t ForkSocketPeer(int& clientEnd) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pair[0]);
    std::uint8_t buffer[256];
    while (::recv(pair[1], buffer, sizeof buffer, 0) > 0) {
      if (::send(pair[1], buffer, kReplySize, MSG_NOSIGNAL) < 0) break;
    }
    ::_exit(0);
  }
  ::close(pair[1]);
  clientEnd = pair[0];
  return pid;
}

pid_t ForkSharedPeer(rpc::SharedRegion*& region) {
  void* address = ::mmap(nullptr, sizeof(rpc::SharedRegion), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) std::abort();
  region = static_cast<rpc::SharedRegion*>(address);
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::uint8_t request[256];
    while (rpc::ServerAwaitRequest(*region) == rpc::kRequest) {
      std::memcpy(request, region->request, region->requestSize);
      std::memcpy(region->reply, request, kReplySize);
      rpc::ServerPublishReply(*region, kReplySize);
    }
    ::_exit(0);
  }
  return pid;
}

pid_t ForkServer(int& life) {
  int ready[2], stop[2];
  if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(stop, O_CLOEXEC) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    ::close(stop[1]);
    static NullServer server;
    static comsupport::StaticClassFactory factory(
        [](REFIID iid, void** object) { return server.QueryInterface(iid, object); });
    DWORD shared = 0, socket = 0;
    CoRegisterClassObject(kSharedClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &shared);
    CoRegisterClassObject(kSocketClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &socket);
    (void)!::write(ready[1], "r", 1);
    char c;
    while (::read(stop[0], &c, 1) > 0) {
    }
    CoRevokeClassObject(shared);
    CoRevokeClassObject(socket);
    std::_Exit(0);
  }
  ::close(ready[1]);
  ::close(stop[0]);
  char c;
  if (::read(ready[0], &c, 1) != 1) std::abort();
  ::close(ready[0]);
  life = stop[1];
  return pid;
}

void BareSocketRoundTrip(benchmark::State& state) {
  std::uint8_t request[kRequestSize] = {1}, reply[256];
  for (auto _ : state) {
    ::send(g_peers.socket, request, sizeof request, MSG_NOSIGNAL);
    benchmark::DoNotOptimize(::recv(g_peers.socket, reply, sizeof reply, 0));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BareSocketRoundTrip)->UseRealTime();

void BareSharedMemoryRoundTrip(benchmark::State& state) {
  rpc::SharedRegion& region = *g_peers.region;
  std::uint8_t reply[kReplySize];
  for (auto _ : state) {
    std::memset(region.request, 1, kRequestSize);
    bool delivered;
    rpc::ClientExchange(region, kRequestSize, delivered);
    std::memcpy(reply, region.reply, region.replySize);
    rpc::ClientConsumedReply(region);
    benchmark::DoNotOptimize(reply);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BareSharedMemoryRoundTrip)->UseRealTime();

void NullRemoteCall(benchmark::State& state, IServer2* server) {
  for (auto _ : state) {
    LONG version = 0;
    BSTR errorText = nullptr;
    if (server->GetVersion(&version, &errorText) != S_OK || version != 7) {
      state.SkipWithError("the call failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void NullRemoteCallShared(benchmark::State& state) { NullRemoteCall(state, g_peers.overShared); }
BENCHMARK(NullRemoteCallShared)->UseRealTime()->Threads(1)->Threads(2)->Threads(8);

void NullRemoteCallSocket(benchmark::State& state) { NullRemoteCall(state, g_peers.overSocket); }
BENCHMARK(NullRemoteCallSocket)->UseRealTime()->Threads(1)->Threads(2)->Threads(8);

}  // namespace

int main(int argc, char** argv) {
  char scratch[] = "/tmp/mvbenchXXXXXX";
  if (::mkdtemp(scratch) == nullptr) return 1;
  ::setenv("XDG_RUNTIME_DIR", scratch, 1);
  RegisterLinkServerProxyStubs();

  g_peers.children.push_back(ForkSocketPeer(g_peers.socket));
  g_peers.children.push_back(ForkSharedPeer(g_peers.region));
  g_peers.children.push_back(ForkServer(g_peers.serverLife));
  CoCreateInstance(kSharedClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IServer2,
                   reinterpret_cast<void**>(&g_peers.overShared));
  rpc::debug::SetSharedChannels(false);
  CoCreateInstance(kSocketClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IServer2,
                   reinterpret_cast<void**>(&g_peers.overSocket));
  rpc::debug::SetSharedChannels(true);
  int status = 0;
  if (g_peers.overShared != nullptr && g_peers.overSocket != nullptr) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  } else {
    std::fprintf(stderr, "cannot reach the benchmark server\n");
    status = 1;
  }

  if (g_peers.overShared != nullptr) g_peers.overShared->Release();
  if (g_peers.overSocket != nullptr) g_peers.overSocket->Release();
  ::close(g_peers.socket);
  rpc::CloseRegion(*g_peers.region);
  ::close(g_peers.serverLife);
  for (pid_t child : g_peers.children) ::waitpid(child, nullptr, 0);
  ::munmap(g_peers.region, sizeof(rpc::SharedRegion));
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  return status;
}
