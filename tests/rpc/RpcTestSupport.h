// The out-of-process link against the test server in a process of its own
// (testserver_host). Every test runs with its own endpoint and registration
// directories, so that it never meets a real server of the user, and kills
// and reaps every process it started.
#pragma once

#include "support/ChildProcess.h"
#include "support/CountGuard.h"
#include "support/PrivateUserFolders.h"
#include "testserver/TestServerClient.h"

#include <contract/LinkServer.h>
#include <rpc/LinkServerProxyStub.h>

#include <platformdebug.h>
#include <rpc/Rpc.h>
#include <rpc/Wire.h>

#include <gtest/gtest.h>

#include "Transport.h"
#include "WireBuilder.h"

#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>

namespace rpctest {

using namespace std::chrono_literals;

using testserver::ITestControl;

inline std::string HostPath() { return TESTSERVER_HOST_PATH; }

inline bool RegisterAll() {
  return moravane::RegisterLinkServerProxyStubs() && testserver::RegisterTestControlProxyStub();
}

inline void Register(REFCLSID clsid, const std::vector<std::string>& command) {
  const std::string path = rpc::ClassRegistrationPath(clsid);
  std::ofstream file(path);
  for (const std::string& line : command) file << line << "\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

inline HRESULT Activate(comsupport::CComPtr<ITestControl>& control) {
  control = nullptr;
  return CoCreateInstance(testserver::CLSID_TestServerHost, nullptr, CLSCTX_LOCAL_SERVER, testserver::IID_ITestControl,
                          reinterpret_cast<void**>(&control));
}

// Owns an out-BSTR of a call.
struct OutText {
  BSTR value = nullptr;
  ~OutText() { SysFreeString(value); }
  BSTR* operator&() {
    SysFreeString(value);
    value = nullptr;
    return &value;
  }
};

constexpr LONG kServerMask =
    testserver::InterfaceBit(testserver::kServerIndex) | testserver::InterfaceBit(testserver::kExtrasIndex);

// A running host, a test server in it and its server object, whose
// GetVersion answers 7. At the end nothing the test made is left exported
// and every BSTR that went through either side is freed.
class ServerFixture : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(RegisterAll());
    ASSERT_TRUE(StartServer());
    ASSERT_EQ(S_OK, Activate(control));
    client = std::make_unique<testserver::TestServerClient>(control);
    serverId = client->Create(kServerMask);
    client->OutLong(serverId, testserver::kServerIndex, 3, 0, 7);
    ASSERT_EQ(S_OK,
              client->Object(serverId)->QueryInterface(moravane::IID_IServer2, reinterpret_cast<void**>(&server)));
    counts.Watch("this process's live BSTRs", platformdebug::LiveBstrCount);
    counts.Start();
  }
  void TearDown() override {
    if (process != nullptr && ::kill(process->Pid(), 0) == 0 && control != nullptr) counts.Check();
    if (server != nullptr) server->Release();
    client.reset();
    control = nullptr;
    EXPECT_EQ(0, rpc::debug::LiveProxyObjects());
  }

  bool StartServer() {
    process = StartChild({HostPath()}, "ready");
    return process != nullptr;
  }

  testsupport::PrivateUserFolders scratch;
  std::unique_ptr<ChildProcess> process;
  comsupport::CComPtr<ITestControl> control;
  std::unique_ptr<testserver::TestServerClient> client;
  LONG serverId = 0;
  moravane::IServer2* server = nullptr;
  // A test that starts the server again sets `exported` and `serverBstrs` anew.
  testsupport::CountGuard counts;
  std::int64_t& exported =
      counts.Watch("objects the host exports", [this] { return client->Probe(testserver::kExportedObjects); });
  std::int64_t& serverBstrs =
      counts.Watch("the host's live BSTRs", [this] { return client->Probe(testserver::kLiveBstrs); });
};

}  // namespace rpctest
