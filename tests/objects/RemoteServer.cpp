// objects_remote_tests: the test server lives in a process of its own
// (testserver_host) and every object the tests and the library touch is a
// proxy of the out-of-process link.
//
// Each ObtainTestServer() starts a fresh host, so no state crosses from one
// test to the next, and ends the previous one. The endpoint and registration
// directories are this test run's own (a temporary XDG_RUNTIME_DIR and
// XDG_CONFIG_HOME), so neither a real server of the user nor another test
// run on the machine can answer the activation. The host is reaped when the
// next one starts and when this process exits normally; if this process dies
// instead, the host sees its standard input end and leaves by itself.
#include "ObjectsFixture.h"

#include "proxystub/LinkServerProxyStub.h"

#include <rpc/Rpc.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace moravane_test {
namespace {

class Host {
 public:
  Host() {
    char pattern[] = "/tmp/mvobjXXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    m_root = pattern;
    std::error_code ignored;
    std::filesystem::create_directories(m_root + "/config", ignored);
    ::setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (m_root + "/config").c_str(), 1);
  }
  ~Host() {
    Stop();
    if (!m_root.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(m_root, ignored);
    }
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Starts a host and waits (10 s at most) until it has published.
  bool Start() {
    Stop();
    if (m_root.empty()) return false;
    int output[2], input[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return false;
    if (::pipe2(input, O_CLOEXEC) != 0) {
      ::close(output[0]);
      ::close(output[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    char path[] = TESTSERVER_HOST_PATH;
    char* argv[] = {path, nullptr};
    const int rc = ::posix_spawn(&m_pid, path, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    ::close(input[0]);
    m_input = input[1];
    if (rc != 0) {
      m_pid = -1;
      ::close(output[0]);
      return false;
    }
    const bool ready = ReadLine(output[0], std::chrono::seconds(10)) == "ready";
    ::close(output[0]);
    return ready;
  }

  // Asks the host to leave and reaps it; one that does not leave within
  // 5 s is killed.
  void Stop() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGTERM);
      int status = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          ::kill(m_pid, SIGKILL);
          ::waitpid(m_pid, &status, 0);
          break;
        }
        ::usleep(1000);
      }
      m_pid = -1;
    }
    if (m_input >= 0) ::close(m_input);
    m_input = -1;
  }

 private:
  static std::string ReadLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd watch{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&watch, 1, static_cast<int>(left.count())) <= 0) return line;
      char c;
      if (::read(fd, &c, 1) != 1 || c == '\n') return line;
      line.push_back(c);
    }
  }

  std::string m_root;
  pid_t m_pid = -1;
  int m_input = -1;
};

Host& TheHost() {
  static Host host;
  return host;
}

}  // namespace

comsupport::CComPtr<testserver::ITestControl> ObtainTestServer() {
  if (!moravane::RegisterLinkServerProxyStubs() || !testserver::RegisterTestControlProxyStub()) return nullptr;
  if (!TheHost().Start()) return nullptr;
  comsupport::CComPtr<testserver::ITestControl> control;
  if (FAILED(CoCreateInstance(testserver::CLSID_TestServerHost, nullptr, CLSCTX_LOCAL_SERVER,
                              testserver::IID_ITestControl, reinterpret_cast<void**>(&control)))) {
    return nullptr;
  }
  return control;
}

bool ServerInOtherProcess() { return true; }

}  // namespace moravane_test
