// Processes and scratch directories for the tests of the out-of-process
// link. Every test runs with its own endpoint and registration directories
// (XDG_RUNTIME_DIR, XDG_CONFIG_HOME) so that it never meets a real server
// of the user, and kills and reaps every process it started.
#pragma once

#include "TestControl.h"
#include "support/ChildProcess.h"
#include "support/PrivateUserFolders.h"

#include <contract/LinkServer.h>
#include <contract/LinkServerProxyStub.h>

#include <rpc/Rpc.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace rpctest {

inline std::string ServerPath() { return RPC_TEST_SERVER_PATH; }

class ScratchDirectories : public testsupport::PrivateUserFolders {
 public:
  void Register(REFCLSID clsid, const std::vector<std::string>& command) {
    std::ofstream file(rpc::ClassRegistrationPath(clsid));
    for (const std::string& line : command) file << line << "\n";
  }
};

inline bool RegisterAll() {
  static const bool registered = moravane::RegisterLinkServerProxyStubs() && RegisterTestControl();
  return registered;
}

// Releases a COM pointer and nulls it.
template <class T>
void ReleaseAndNull(T*& pointer) {
  if (pointer != nullptr) pointer->Release();
  pointer = nullptr;
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
  std::u16string Text() const { return value == nullptr ? u"<null>" : std::u16string(value, SysStringLen(value)); }
};

// A running test server and a client's objects on it.
class ServerFixture : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(RegisterAll());
    ASSERT_TRUE(StartServer());
    ASSERT_EQ(S_OK, Activate(&server));
    ASSERT_EQ(S_OK, server->QueryInterface(IID_ITestControl, reinterpret_cast<void**>(&control)));
    OutText errorText;
    ASSERT_EQ(S_OK, control->GetLiveObjects(&baselineObjects, &errorText));
    ASSERT_EQ(S_OK, control->GetLiveBstrs(&baselineServerBstrs, &errorText));
  }
  void TearDown() override {
    ReleaseAndNull(control);
    ReleaseAndNull(server);
  }

  bool StartServer() {
    process = StartChild({ServerPath()}, "ready");
    return process != nullptr;
  }

  HRESULT Activate(moravane::IServer2** result) {
    return CoCreateInstance(CLSID_TestLinkServer, nullptr, CLSCTX_LOCAL_SERVER, moravane::IID_IServer2,
                            reinterpret_cast<void**>(result));
  }

  LONG ServerObjects() {
    LONG objects = -1;
    OutText errorText;
    EXPECT_EQ(S_OK, control->GetLiveObjects(&objects, &errorText));
    return objects;
  }
  LONG ServerBstrs() {
    LONG bstrs = -1;
    OutText errorText;
    EXPECT_EQ(S_OK, control->GetLiveBstrs(&bstrs, &errorText));
    return bstrs;
  }

  ScratchDirectories scratch;
  std::unique_ptr<ChildProcess> process;
  moravane::IServer2* server = nullptr;
  ITestControl* control = nullptr;
  LONG baselineObjects = 0;
  LONG baselineServerBstrs = 0;
};

}  // namespace rpctest
