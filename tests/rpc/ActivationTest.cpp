// CoCreateInstance for a class of another process: published, registered
// and started, or neither.
#include "RpcTestSupport.h"
#include "support/ExpectLinkError.h"
#include "testserver/ClassFactory.h"

#include <moravane/Link.h>
#include <moravane/Server.h>

#include <kelvex/Strings.h>

#include <gmock/gmock.h>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

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

// A class registration that another user could have written, or that runs
// a program another user could have changed, is refused; the host's stderr
// names the file, its owner and its mode.
TEST_F(Activation, ARegistrationOthersCouldHaveWrittenIsRefused) {
  const std::string folder = scratch.Root() + "/config/moravane/classes";
  const std::string file = rpc::ClassRegistrationPath(moravane::CLSID_OrraLinkServer);
  const std::string program = scratch.Root() + "/server";
  std::ofstream(program) << "#!/bin/sh\nexec " LINK_SERVER_PATH " \"$@\"\n";
  Register(moravane::CLSID_OrraLinkServer, {program, "--grace", "0"});
  const struct {
    std::string path;
    mode_t loose, tight;
    std::string what;
  } rows[] = {
      {folder, 0770, 0700, "the class registration folder " + folder},
      {folder, 0703, 0700, "the class registration folder " + folder},
      {file, 0620, 0600, "the class registration " + file},
      {file, 0646, 0600, "the class registration " + file},
      {program, 0757, 0755, "the program " + program + " of the class registration " + file},
  };
  for (const auto& row : rows) ASSERT_EQ(0, ::chmod(row.path.c_str(), row.tight));
  for (const auto& row : rows) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(row.loose));
    SCOPED_TRACE(row.what + " " + mode);
    ASSERT_EQ(0, ::chmod(row.path.c_str(), row.loose));
    ::testing::internal::CaptureStderr();
    const moravane::LinkError error = testsupport::ExpectLinkError([] { moravane::OrraServer().CreateLink(); });
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(static_cast<LONG>(E_ACCESSDENIED), error.GetError());
    EXPECT_TRUE(error.GetErrorString().empty()) << "a failed activation carries its code alone";
    EXPECT_THAT(said, ::testing::HasSubstr("cannot trust " + row.what + ": it belongs to user "));
    EXPECT_THAT(said, ::testing::HasSubstr("(uid " + std::to_string(::geteuid()) + ") with mode " + mode + ";"));
    ASSERT_EQ(0, ::chmod(row.path.c_str(), row.tight));
  }
  // Closed again, the same registration starts the server.
  EXPECT_EQ(7, moravane::OrraServer().CreateLink().GetVersion());
}

// Hosts that link at one moment start one server between them; the others
// reach it. Each server the registration starts leaves its pid in a file;
// the servers, detached by their hosts, become this process's children, to
// be killed and reaped at once.
TEST_F(Activation, HostsLinkingAtOnceStartOneServer) {
  ASSERT_EQ(0, ::prctl(PR_SET_CHILD_SUBREAPER, 1));
  const std::shared_ptr<void> unsetReaper(nullptr, [](void*) { ::prctl(PR_SET_CHILD_SUBREAPER, 0); });
  const std::string started = scratch.Root() + "/started";
  Register(CLSID_TestServerHost, {"/bin/sh", "-c", "echo $$ >> " + started + "; exec \"$0\" \"$@\"", HostPath()});
  for (const int hosts : {2, 4, 8}) {
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE(std::to_string(hosts) + " hosts, round " + std::to_string(round));
      std::vector<std::unique_ptr<ChildProcess>> holders;
      for (int i = 0; i < hosts; ++i) {
        holders.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{HostPath(), "--hold", "0", "go"}));
      }
      for (auto& holder : holders) ASSERT_EQ("waiting", holder->ReadLine());
      for (auto& holder : holders) ASSERT_TRUE(holder->WriteLine("go"));
      for (auto& holder : holders) EXPECT_EQ("holding", holder->ReadLine());
      holders.clear();
      std::vector<pid_t> servers;
      std::ifstream list(started);
      for (pid_t pid; list >> pid;) servers.push_back(pid);
      EXPECT_EQ(1u, servers.size());
      for (const pid_t pid : servers) {
        ::kill(pid, SIGKILL);
        EXPECT_EQ(pid, ::waitpid(pid, nullptr, 0));
      }
      std::ofstream(started, std::ios::trunc);
      if (HasFailure()) return;
    }
  }
}

// The kernel gives up the start lock of a host that dies while it starts
// a server: the next link starts its own at once.
TEST_F(Activation, AHostKilledWhileStartingBlocksNoLink) {
  const std::string started = scratch.Root() + "/started";
  Register(CLSID_TestServerHost, {"/bin/sh", "-c", "echo $$ > " + started + "; exec sleep 30"});
  const std::unique_ptr<ChildProcess> holder = StartChild({HostPath(), "--hold", "0", "go"}, "waiting");
  ASSERT_NE(nullptr, holder);
  ASSERT_TRUE(holder->WriteLine("go"));
  pid_t never = 0;
  for (const auto end = std::chrono::steady_clock::now() + 5s; never == 0 && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(5ms);
    std::ifstream(started) >> never;
  }
  ASSERT_NE(0, never) << "the holder never started its server";
  holder->Kill();
  Register(CLSID_TestServerHost, {HostPath()});
  rpc::SetActivationTimeout(3s);
  EXPECT_EQ(S_OK, Activate(control));
  rpc::SetActivationTimeout(rpc::kDefaultActivationTimeout);
  ::kill(never, SIGKILL);
}

// With no grace at all, a server leaves at the first moment it is idle, and
// a host that links again at once comes as it leaves: it has withdrawn the
// class but still answers on the channel opened before. No link may fail.
TEST_F(Activation, LinksAsTheServerEndsItsGraceAllSucceed) {
  Register(moravane::CLSID_OrraLinkServer, {LINK_SERVER_PATH, "--grace", "0"});
  int links = 0, failed = 0;
  HRESULT last = S_OK;
  for (const auto end = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < end; ++links) {
    comsupport::CComPtr<moravane::IServer2> server;
    const HRESULT hr = CoCreateInstance(moravane::CLSID_OrraLinkServer, nullptr, CLSCTX_LOCAL_SERVER,
                                        moravane::IID_IServer2, reinterpret_cast<void**>(&server));
    if (FAILED(hr)) ++failed, last = hr;
  }
  EXPECT_EQ(0, failed) << links << " links, the last failure 0x" << std::hex << last;
}

}  // namespace
}  // namespace rpctest
