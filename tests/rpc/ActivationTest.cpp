// CoCreateInstance for a class of another process: published, registered
// and started, or neither.
#include "RpcTestSupport.h"
#include "testserver/ClassFactory.h"

#include <sys/stat.h>

using testserver::CLSID_TestServerHost;

namespace rpctest {
namespace {

class Activation : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(RegisterAll()); }
  static LONG ProcessOf(ITestControl* control) {
    return testserver::TestServerClient(control).Probe(testserver::kProcessId);
  }
  static bool Gone(pid_t pid, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::kill(pid, 0) != 0) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  testsupport::PrivateUserFolders scratch;
  comsupport::CComPtr<ITestControl> control;
};

TEST_F(Activation, NothingPublishedNothingRegistered) {
  EXPECT_EQ(REGDB_E_CLASSNOTREG, Activate(control));
  EXPECT_EQ(nullptr, control.p);
}

// In a runtime folder far deeper than a socket address can name: the
// server publishes there and the client reaches it.
TEST_F(Activation, StartsTheRegisteredServerWhichEndsWithItsLastObject) {
  std::string deep = scratch.Root();
  while (deep.size() < 300) deep += "/a-folder-of-a-deep-build-tree";
  std::filesystem::create_directories(deep);
  ::chmod(deep.c_str(), 0700);
  const std::string previous = std::getenv("XDG_RUNTIME_DIR");
  ::setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
  Register(CLSID_TestServerHost, {HostPath()});
  ASSERT_EQ(S_OK, Activate(control));
  const pid_t pid = ProcessOf(control);
  EXPECT_NE(::getpid(), pid);
  // A second activation reaches the same, now published, server.
  comsupport::CComPtr<ITestControl> second;
  ASSERT_EQ(S_OK, Activate(second));
  EXPECT_EQ(pid, ProcessOf(second));
  second = nullptr;
  control = nullptr;
  EXPECT_TRUE(Gone(pid, 5s));
  ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
}

TEST_F(Activation, APublishedServerComesBeforeTheRegistration) {
  const std::unique_ptr<ChildProcess> published = StartChild({HostPath()}, "ready");
  ASSERT_NE(nullptr, published);
  Register(CLSID_TestServerHost, {"/nonexistent/server"});
  ASSERT_EQ(S_OK, Activate(control));
  EXPECT_EQ(published->Pid(), ProcessOf(control));
}

// Listens at the class's endpoint and never accepts or answers, as a
// server that is stopped or stuck does.
class StalledEndpoint {
 public:
  StalledEndpoint() : m_path(rpc::EndpointPath(rpc::EnsureEndpointDirectory(), CLSID_TestServerHost)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_path.size() >= sizeof address.sun_path) return;
    m_path.copy(address.sun_path, m_path.size());
    m_socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(m_socket, 4) != 0) {
      ::close(m_socket);
      m_socket = -1;
    }
  }
  ~StalledEndpoint() {
    if (m_socket >= 0) ::close(m_socket);
    ::unlink(m_path.c_str());
  }
  bool Ready() const { return m_socket >= 0; }

 private:
  std::string m_path;
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
    Register(CLSID_TestServerHost, row.command);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(CO_E_SERVER_EXEC_FAILURE, Activate(control));
    EXPECT_EQ(nullptr, control.p);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  }
  rpc::SetActivationTimeout(rpc::kDefaultActivationTimeout);
  std::ifstream pidFile(scratch.Root() + "/slow.pid");
  pid_t slow = 0;
  if (pidFile >> slow && slow > 0) ::kill(slow, SIGKILL);
}

TEST_F(Activation, AClassOfThisProcessComesFirstUntilRevoked) {
  ASSERT_EQ(S_OK, testserver::CreateInProcessTestServer(&control));
  testserver::TestServerClient local(control);
  const LONG id = local.Create(kServerMask);
  const auto factory = testserver::ClassFactory::Create(control, id);
  DWORD cookie = 0;
  ASSERT_EQ(S_OK,
            CoRegisterClassObject(CLSID_TestServerHost, factory.p, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie));
  comsupport::CComPtr<IUnknown> object;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TestServerHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                   reinterpret_cast<void**>(&object)));
  EXPECT_EQ(id, local.Identify(object.p));  // the object itself, no proxy
  EXPECT_EQ(1u, factory->ActivationThreads().size());
  EXPECT_EQ(S_OK, CoRevokeClassObject(cookie));
  EXPECT_EQ(E_INVALIDARG, CoRevokeClassObject(cookie));
  EXPECT_EQ(2u, factory->AddRef());  // the class table let go of its reference
  factory->Release();
}

TEST_F(Activation, AnEndpointDirectoryOpenToOthersIsRefused) {
  ASSERT_EQ(0, ::mkdir(rpc::EndpointDirectory().c_str(), 0755));
  ASSERT_EQ(0, ::chmod(rpc::EndpointDirectory().c_str(), 0755));
  EXPECT_EQ(E_ACCESSDENIED, Activate(control));
}

}  // namespace
}  // namespace rpctest
