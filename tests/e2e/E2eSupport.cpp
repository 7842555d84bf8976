#include "E2eSupport.h"

#include <kelvex/Strings.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

namespace {

const std::string& World();

std::string MakeWorld() {
  char pattern[] = "/tmp/moravane-e2e-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) std::abort();
  const std::string root = made;
  std::filesystem::create_directories(root + "/config/moravane/classes");
  std::filesystem::create_directories(root + "/runtime");
  std::filesystem::permissions(root + "/runtime", std::filesystem::perms::owner_all);
  ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
  // The server as a user would register it, with a short grace period so
  // that the tests of its lifetime need not wait long.
  std::ofstream registration(root + "/config/moravane/classes/{3DF590F4-AEC5-48BD-A644-000BB8CEA947}");
  registration << E2E_SERVER_PATH << "\n--grace\n300\n";
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  // Whatever happens to the test, its servers go too.
  std::atexit([] {
    StopAllChildren();
    std::error_code ignored;
    std::filesystem::remove_all(World(), ignored);
  });
  return root;
}

// Never destroyed: the exit handler needs it after static destructors.
const std::string& World() {
  static const std::string* const root = new std::string(MakeWorld());
  return *root;
}

// Before main(): the library reads the variables when it first activates.
const bool g_worldReady = !World().empty();

}  // namespace

const std::string& WorkDirectory() { return World(); }

std::string WriteFile(const std::string& name, const std::string& text) {
  const std::string path = World() + "/" + name;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return path;
}

std::vector<pid_t> ChildProcesses() {
  std::vector<pid_t> children;
  const pid_t self = ::getpid();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return children;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold blanks and parentheses.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == self) children.push_back(pid);
  }
  ::closedir(proc);
  return children;
}

bool WaitExited(pid_t pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void StopAllChildren() {
  for (const pid_t pid : ChildProcesses()) {
    ::kill(pid, SIGTERM);
    if (!WaitExited(pid, 5000)) {
      ::kill(pid, SIGKILL);
      WaitExited(pid, 5000);
    }
  }
}

namespace {

std::string Drain(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& arguments) {
  RunResult result;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return result;
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  // Standard error is small; read it after the (possibly large) output.
  std::thread errors([&] { result.err = Drain(err[0]); });
  result.out = Drain(out[0]);
  errors.join();
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string Utf8(const moravane::WideString& text) { return kelvex::utility::UTF16ToUTF8(text); }
moravane::WideString Wide(const std::string& text) { return kelvex::utility::AsciiToUTF16(text); }

void E2eTest::TearDown() { StopAllChildren(); }

}  // namespace e2e
