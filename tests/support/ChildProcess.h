// A helper process for cross-process tests: started with posix_spawn, spoken
// to through its stdin and stdout one line at a time, and killed and reaped
// by the destructor if it is still running, so no test leaves one behind.
// Its standard input stays open while this object lives, so a server child
// can end itself when a crashed test left it behind.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& args) {
    ::signal(SIGPIPE, SIG_IGN);  // a child that died must fail the test, not kill it
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
      for (int fd : toChild) ::close(fd);
      throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    ::posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    m_in = toChild[1];
    m_out = fromChild[0];
    if (rc != 0) {
      m_pid = -1;
      throw std::runtime_error("posix_spawn");
    }
  }

  ~ChildProcess() {
    if (m_pid > 0) Kill();
    if (m_in >= 0) ::close(m_in);
    ::close(m_out);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line the child wrote, without its newline; "" when none came
  // within the timeout or the child closed its output.
  std::string ReadLine(int timeoutMs = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto newline = m_buffer.find('\n');
      if (newline != std::string::npos) {
        std::string line = m_buffer.substr(0, newline);
        m_buffer.erase(0, newline + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd pfd{m_out, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[256];
      const ssize_t n = ::read(m_out, chunk, sizeof chunk);
      if (n <= 0) return "";
      m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Writes `line` and a newline to the child's input; false when it could not.
  bool WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    return ::write(m_in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // Ends the child's input (EOF on its stdin).
  void CloseInput() {
    ::close(m_in);
    m_in = -1;
  }

  pid_t Pid() const { return m_pid; }

  // Sends `signal` (SIGKILL unless told) and reaps the child.
  void Kill(int signal = SIGKILL) {
    if (!m_reaped) ::kill(m_pid, signal);
    Wait();
  }

  // Asks the child to leave (SIGTERM) and reaps it; one that has not left
  // within `grace` is killed.
  void Stop(std::chrono::milliseconds grace) {
    if (!m_reaped) ::kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (!Reap(WNOHANG) && std::chrono::steady_clock::now() < deadline) ::usleep(1000);
    Kill();
  }

  // Waits for the child to end: its exit code, or -signal when killed.
  int Wait() {
    Reap(0);
    return m_status;
  }

 private:
  bool Reap(int options) {
    int status = 0;
    if (m_reaped || ::waitpid(m_pid, &status, options) != m_pid) return m_reaped;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return m_reaped = true;
  }

  pid_t m_pid = -1;
  int m_in = -1;
  int m_out = -1;
  bool m_reaped = false;
  int m_status = 0;
  std::string m_buffer;
};

// Starts `args` and waits for its first line to be `expected`: the child,
// or null when it could not start or said anything else within `timeout`.
inline std::unique_ptr<ChildProcess> StartChild(const std::vector<std::string>& args, const std::string& expected,
                                                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  std::unique_ptr<ChildProcess> child;
  try {
    child = std::make_unique<ChildProcess>(args);
  } catch (const std::runtime_error&) {
    return nullptr;
  }
  if (child->ReadLine(static_cast<int>(timeout.count())) != expected) return nullptr;
  return child;
}
