// CoCreateInstance for a class of another process: published, registered
// and started, or neither.
#include "RpcTestSupport.h"

#include <thread>

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

TEST_F(Activation, ServersThatCannotServeFailWithTheExecutionCode) {
  struct Case {
    const char* name;
    std::vector<std::string> command;
  };
  const Case cases[] = {
      {"missing executable", {"/nonexistent/server"}},
      {"exits without publishing", {"/bin/true"}},
      {"never publishes", {"/bin/sh", "-c", "echo $$ > " + scratch.Root() + "/slow.pid; exec sleep 30"}},
  };
  rpc::SetActivationTimeout(300ms);
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
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
