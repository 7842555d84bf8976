// The server or the client dies: the codes a client sees, how soon, and
// that the server lets go of a dead client's objects.
#include "RpcTestSupport.h"

#include <moravane/LinkError.h>

#include <future>

using namespace moravane;

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
  HRESULT Version() {
    LONG version = 0;
    OutText e;
    return server->GetVersion(&version, &e);
  }
};

TEST_P(LinkFailure, ServerKilledDuringACall) {
  auto inFlight = std::async(std::launch::async, [this] {
    LONG ignored = 0;
    return control->Probe(testserver::kSleep, 10000, &ignored);
  });
  std::this_thread::sleep_for(200ms);
  const auto killed = std::chrono::steady_clock::now();
  process->Kill(SIGKILL);
  ASSERT_EQ(std::future_status::ready, inFlight.wait_for(1s));
  EXPECT_EQ(RPC_S_CALL_FAILED_HR, inFlight.get());
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 1s);
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, Version());
}

TEST_P(LinkFailure, ServerKilledBetweenCallsAndStartedAgain) {
  EXPECT_EQ(S_OK, Version());
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
  const HRESULT lost = Version();
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, lost);
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 1s);
  EXPECT_TRUE(LinkError(lost).ShouldReconnect());
  EXPECT_FALSE(std::filesystem::exists(folder + "/abandoned-by-the-dead"));

  // Every proxy of the lost server answers the same, queries included, and
  // releasing them is quiet.
  IOrraExtras2* extras = nullptr;
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, server->QueryInterface(IID_IOrraExtras2, reinterpret_cast<void**>(&extras)));
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE_HR, control->ClearRecords());
  client.reset();
  control = nullptr;

  // A new activation reaches a server that runs again.
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(S_OK, Activate(control));
  EXPECT_EQ(S_OK, control->ClearRecords());
  client = std::make_unique<testserver::TestServerClient>(control);
  exported = client->Probe(testserver::kExportedObjects);
  serverBstrs = client->Probe(testserver::kLiveBstrs);
}

TEST_P(LinkFailure, ADeadClientsObjectsAreReleasedAtOnce) {
  const std::unique_ptr<ChildProcess> holder = StartChild({HostPath(), "--hold", "5"}, "holding");
  ASSERT_NE(nullptr, holder);
  EXPECT_EQ(exported + 6, client->Probe(testserver::kExportedObjects));  // its control and five objects

  holder->Kill(SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + 1s;
  while (client->Probe(testserver::kExportedObjects) != exported && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(exported, client->Probe(testserver::kExportedObjects));
}

INSTANTIATE_TEST_SUITE_P(Channels, LinkFailure, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "SharedMemory" : "SocketOnly";
                         });

}  // namespace
}  // namespace rpctest
