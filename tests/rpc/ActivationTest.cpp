// CoCreateInstance for a class of another process: published, registered
// and started, or neither.
#include "RpcTestSupport.h"

#include <optional>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>

using namespace moravane;
using namespace std::chrono_literals;

namespace rpctest {
namespace {

class Activation : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(RegisterAll()); }
  HRESULT Activate(IServer2** result) {
    return CoCreateInstance(CLSID_TestLinkServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IServer2,
                            reinterpret_cast<void**>(result));
  }
  LONG ServerProcessId(IServer2* server) {
    ITestControl* control = nullptr;
    server->QueryInterface(IID_ITestControl, reinterpret_cast<void**>(&control));
    LONG pid = 0;
    OutText e;
    control->GetProcessId(&pid, &e);
    control->Release();
    return pid;
  }
  static bool Gone(pid_t pid, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::kill(pid, 0) != 0) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  ScratchDirectories scratch;
};

TEST_F(Activation, NothingPublishedNothingRegistered) {
  IServer2* server = reinterpret_cast<IServer2*>(1);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, Activate(&server));
  EXPECT_EQ(nullptr, server);
}

TEST_F(Activation, StartsTheRegisteredServerWhichEndsWithItsLastObject) {
  scratch.Register(CLSID_TestLinkServer, {ServerPath()});
  IServer2* server = nullptr;
  ASSERT_EQ(S_OK, Activate(&server));
  const pid_t pid = ServerProcessId(server);
  EXPECT_NE(::getpid(), pid);
  // A second activation reaches the same, now published, server.
  IServer2* second = nullptr;
  ASSERT_EQ(S_OK, Activate(&second));
  EXPECT_EQ(pid, ServerProcessId(second));
  second->Release();
  server->Release();
  EXPECT_TRUE(Gone(pid, 5s));
}

TEST_F(Activation, APublishedServerComesBeforeTheRegistration) {
  const std::unique_ptr<ChildProcess> published = StartChild({ServerPath()}, "ready");
  ASSERT_NE(nullptr, published);
  scratch.Register(CLSID_TestLinkServer, {"/nonexistent/server"});
  IServer2* server = nullptr;
  ASSERT_EQ(S_OK, Activate(&server));
  EXPECT_EQ(published->Pid(), ServerProcessId(server));
  server->Release();
}

// Listens at the class's endpoint and never accepts or answers, as a
// server that is stopped or stuck does.
class StalledEndpoint {
 public:
  StalledEndpoint() {
    const std::string folder = rpc::EndpointDirectory();
    ::mkdir(folder.c_str(), 0700);
    const std::string path = folder + "/" + rpc::GuidToString(CLSID_TestLinkServer);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return;
    path.copy(address.sun_path, path.size());
    m_socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(m_socket, 4) != 0) {
      ::close(m_socket);
      m_socket = -1;
    }
  }
  ~StalledEndpoint() {
    if (m_socket >= 0) ::close(m_socket);
    ::unlink((rpc::EndpointDirectory() + "/" + rpc::GuidToString(CLSID_TestLinkServer)).c_str());
  }
  bool Ready() const { return m_socket >= 0; }

 private:
  int m_socket = -1;
};

TEST_F(Activation, ServersThatCannotServeFailWithTheExecutionCode) {
  struct Case {
    const char* name;
    std::vector<std::string> command;
    bool stalled;  // a server that accepts and never answers is already there
  };
  const Case cases[] = {
      {"missing executable", {"/nonexistent/server"}, false},
      {"exits without publishing", {"/bin/true"}, false},
      {"never publishes", {"/bin/sh", "-c", "echo $$ > " + scratch.Root() + "/slow.pid; exec sleep 30"}, false},
      {"accepts and never answers", {"/nonexistent/server"}, true},
  };
  rpc::SetActivationTimeout(300ms);
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    std::optional<StalledEndpoint> stalled;
    if (row.stalled) {
      ASSERT_TRUE(stalled.emplace().Ready());
    }
    scratch.Register(CLSID_TestLinkServer, row.command);
    const auto started = std::chrono::steady_clock::now();
    IServer2* server = nullptr;
    EXPECT_EQ(CO_E_SERVER_EXEC_FAILURE, Activate(&server));
    EXPECT_EQ(nullptr, server);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  }
  rpc::SetActivationTimeout(rpc::kDefaultActivationTimeout);
  std::ifstream pidFile(scratch.Root() + "/slow.pid");
  pid_t slow = 0;
  if (pidFile >> slow && slow > 0) ::kill(slow, SIGKILL);
}

TEST_F(Activation, ARuntimeFolderOfAnyDepthServes) {
  // Far deeper than a socket address can name: the server publishes there
  // and the client reaches it.
  std::string deep = scratch.Root();
  while (deep.size() < 300) deep += "/a-folder-of-a-deep-build-tree";
  std::filesystem::create_directories(deep);
  ::chmod(deep.c_str(), 0700);
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
  scratch.Register(CLSID_TestLinkServer, {ServerPath()});
  IServer2* server = nullptr;
  EXPECT_EQ(S_OK, Activate(&server));
  if (server != nullptr) {
    EXPECT_NE(::getpid(), ServerProcessId(server));
    // A second session reaches the published endpoint too.
    IServer2* second = nullptr;
    EXPECT_EQ(S_OK, Activate(&second));
    if (second != nullptr) second->Release();
    const pid_t pid = ServerProcessId(server);
    server->Release();
    EXPECT_TRUE(Gone(pid, 5s));
  }
  ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
}

TEST_F(Activation, AClassOfThisProcessComesFirst) {
  struct LocalFactory : IClassFactory {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
      *object = (iid == IID_IUnknown || iid == IID_IClassFactory) ? this : nullptr;
      if (*object == nullptr) return E_NOINTERFACE;
      AddRef();
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** object) override {
      ++created;
      *object = this;
      AddRef();
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
    ULONG refs = 1;
    int created = 0;
  } factory;
  DWORD cookie = 0;
  ASSERT_EQ(S_OK,
            CoRegisterClassObject(CLSID_TestLinkServer, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie));
  IUnknown* object = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TestLinkServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                   reinterpret_cast<void**>(&object)));
  EXPECT_EQ(static_cast<IUnknown*>(&factory), object);
  EXPECT_EQ(1, factory.created);
  object->Release();
  EXPECT_EQ(S_OK, CoRevokeClassObject(cookie));
  EXPECT_EQ(1u, factory.refs);
  EXPECT_EQ(E_INVALIDARG, CoRevokeClassObject(cookie));
}

TEST_F(Activation, AnEndpointDirectoryOpenToOthersIsRefused) {
  ASSERT_EQ(0, ::mkdir(rpc::EndpointDirectory().c_str(), 0755));
  ASSERT_EQ(0, ::chmod(rpc::EndpointDirectory().c_str(), 0755));
  IServer2* server = nullptr;
  EXPECT_EQ(E_ACCESSDENIED, Activate(&server));
}

}  // namespace
}  // namespace rpctest
