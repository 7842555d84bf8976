// Processes and scratch directories for the tests of the out-of-process
// link. Every test runs with its own endpoint and registration directories
// (XDG_RUNTIME_DIR, XDG_CONFIG_HOME) so that it never meets a real server
// of the user, and kills and reaps every process it started.
#pragma once

#include "TestControl.h"

#include "objects/LinkServer.h"
#include "proxystub/LinkServerProxyStub.h"

#include <rpc/Rpc.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace rpctest {

inline std::string ServerPath() { return RPC_TEST_SERVER_PATH; }

class ScratchDirectories {
 public:
  ScratchDirectories() {
    char pattern[] = "/tmp/mvrpcXXXXXX";
    root = ::mkdtemp(pattern);
    std::filesystem::create_directories(root + "/config/moravane/classes");
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  }
  ~ScratchDirectories() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  void Register(REFCLSID clsid, const std::vector<std::string>& command) {
    std::ofstream file(rpc::ClassRegistrationPath(clsid));
    for (const std::string& line : command) file << line << "\n";
  }
  std::string root;
};

// A child process whose standard output is read line by line.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Kill(SIGKILL); }

  // Starts `arguments` and waits (up to 10 s) for the line `expected`.
  bool Start(const std::vector<std::string>& arguments, const std::string& expected) {
    int output[2], input[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return false;
    if (::pipe2(input, O_CLOEXEC) != 0) {
      ::close(output[0]);
      ::close(output[1]);
      return false;
    }
    // The child's standard input stays open as long as this process lives,
    // so a server can end itself when a crashed test left it behind.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    std::vector<char*> argv;
    std::vector<std::string> copy = arguments;
    for (std::string& argument : copy) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    ::close(input[0]);
    m_output = output[0];
    m_input = input[1];
    if (rc != 0) {
      m_pid = -1;
      return false;
    }
    return ReadLine(std::chrono::seconds(10)) == expected;
  }

  std::string ReadLine(std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd watch{m_output, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&watch, 1, static_cast<int>(left.count())) <= 0) return line;
      char c;
      if (::read(m_output, &c, 1) != 1) return line;
      if (c == '\n') return line;
      line.push_back(c);
    }
  }

  void Kill(int signal) {
    if (m_pid > 0) {
      ::kill(m_pid, signal);
      int status;
      ::waitpid(m_pid, &status, 0);
      m_pid = -1;
    }
    if (m_output >= 0) ::close(m_output);
    if (m_input >= 0) ::close(m_input);
    m_output = -1;
    m_input = -1;
  }
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  int m_output = -1;
  int m_input = -1;
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

  bool StartServer() { return process.Start({ServerPath()}, "ready"); }

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
  ChildProcess process;
  moravane::IServer2* server = nullptr;
  ITestControl* control = nullptr;
  LONG baselineObjects = 0;
  LONG baselineServerBstrs = 0;
};

}  // namespace rpctest
