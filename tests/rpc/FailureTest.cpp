// The server or the client dies: the codes a client sees, how soon, and
// that the server lets go of a dead client's objects.
#include "RpcTestSupport.h"

#include <moravane/LinkError.h>

#include <platformdebug.h>

#include <future>
#include <thread>

using namespace moravane;
using namespace std::chrono_literals;

namespace rpctest {
namespace {

// Each scenario over both channels: the shared region (the hang-up monitor
// closes it) and the socket alone (the socket's own end tells).
class LinkFailure : public ServerFixture, public ::testing::WithParamInterface<bool> {
 public:
  void SetUp() override {
    rpc::debug::SetSharedChannels(GetParam());
    ServerFixture::SetUp();
  }
  void TearDown() override {
    ServerFixture::TearDown();
    rpc::debug::SetSharedChannels(true);
  }

 protected:
  LONG Version(IServer2* target) {
    LONG version = 0;
    OutText e;
    lastHr = target->GetVersion(&version, &e);
    return version;
  }
  HRESULT lastHr = S_OK;
};

TEST_P(LinkFailure, ServerKilledDuringACall) {
  auto inFlight = std::async(std::launch::async, [this] {
    OutText e;
    return control->Sleep(10000, &e);
  });
  std::this_thread::sleep_for(200ms);
  const auto killed = std::chrono::steady_clock::now();
  process->Kill(SIGKILL);
  ASSERT_EQ(std::future_status::ready, inFlight.wait_for(1s));
  EXPECT_EQ(RPC_S_CALL_FAILED_HR, inFlight.get());
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 1s);

  Version(server);
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, lastHr);
  EXPECT_TRUE(LinkError(lastHr).ShouldReconnect());
}

TEST_P(LinkFailure, ServerKilledBetweenCalls) {
  IUnknown* project = nullptr;
  OutText e;
  BSTR path = SysAllocString(u"/p");
  ASSERT_EQ(S_OK, server->OpenProject(path, &project, &e));
  SysFreeString(path);
  EXPECT_EQ(7, Version(server));
  // A section that a process which died left behind (as a killed server
  // leaves those it created) is freed once the death of a server is seen.
  const std::string folder = platformdebug::KernelNamespaceDirectory();
  ASSERT_FALSE(folder.empty());
  {
    ChildProcess holder({KERNEL_CHILD_PATH, "create-section", "abandoned-by-the-dead", "65536", "1", "exit-holding"});
    ASSERT_EQ("ready", holder.ReadLine());
  }
  EXPECT_TRUE(std::filesystem::exists(folder + "/abandoned-by-the-dead"));

  process->Kill(SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  Version(server);
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, lastHr);
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 1s);
  EXPECT_TRUE(LinkError(lastHr).ShouldReconnect());
  EXPECT_FALSE(std::filesystem::exists(folder + "/abandoned-by-the-dead"));

  // Every proxy of the lost server answers the same, queries included, and
  // releasing them is quiet.
  IProject2* typed = nullptr;
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, project->QueryInterface(IID_IProject2, reinterpret_cast<void**>(&typed)));
  LONG objects = 0;
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, control->GetLiveObjects(&objects, &e));
  ReleaseAndNull(project);
  ReleaseAndNull(control);
  ReleaseAndNull(server);
  EXPECT_EQ(0, rpc::debug::LiveProxyObjects());
}

TEST_P(LinkFailure, ANewActivationWorksOnceAServerRunsAgain) {
  process->Kill(SIGKILL);
  Version(server);
  ASSERT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, lastHr);
  ReleaseAndNull(control);
  ReleaseAndNull(server);

  ASSERT_TRUE(StartServer());
  ASSERT_EQ(S_OK, Activate(&server));
  EXPECT_EQ(7, Version(server));
  EXPECT_EQ(S_OK, lastHr);
}

TEST_P(LinkFailure, ServerClosingTheLinkCleanlyIsSeenTheSameWay) {
  process->Kill(SIGTERM);
  Version(server);
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, lastHr);
}

TEST_P(LinkFailure, ADeadClientsObjectsAreReleasedAtOnce) {
  const std::unique_ptr<ChildProcess> client = StartChild({ServerPath(), "--hold", "5"}, "holding");
  ASSERT_NE(nullptr, client);
  OutText e;
  LONG objects = 0;
  control->GetLiveObjects(&objects, &e);
  EXPECT_EQ(baselineObjects + 6, objects);  // its server object and five projects

  client->Kill(SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + 1s;
  do {
    control->GetLiveObjects(&objects, &e);
    if (objects == baselineObjects) break;
    std::this_thread::sleep_for(5ms);
  } while (std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(baselineObjects, objects);
  LONG exported = 0;
  control->GetExportedObjects(&exported, &e);
  EXPECT_EQ(1, exported);  // only this client's server object
}

INSTANTIATE_TEST_SUITE_P(Channels, LinkFailure, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "SharedMemory" : "SocketOnly";
                         });

}  // namespace
}  // namespace rpctest
