// The private world of the command-line end-to-end tests: a per-user
// registration of the reference server, the project they open, and a shell
// that runs command lines as a user types them. Every test file of the
// e2e_tests program shares it (one world per process).
#pragma once

#include "E2eShared.h"
#include "support/PrivateUserFolders.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

inline const std::string kClass = "{3DF590F4-AEC5-48BD-A644-000BB8CEA947}";

struct RunResult {
  int exitCode = -1;
  std::string out, err;
};
inline RunResult Sh(const std::string& line);

// The servers among this process's children: activation detaches the
// servers it starts, and this process is their subreaper.
inline std::vector<pid_t> Servers() {
  std::vector<pid_t> pids;
  std::istringstream list(Sh("pgrep -P " + std::to_string(::getpid()) + " orra_linkserver").out);
  for (pid_t pid; list >> pid;) pids.push_back(pid);
  return pids;
}

inline bool WaitExited(pid_t pid, int timeoutMs) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);;) {
    const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

inline void StopServers() {
  for (const pid_t pid : Servers()) {
    ::kill(pid, SIGTERM);
    if (!WaitExited(pid, 5000)) ::kill(pid, SIGKILL), WaitExited(pid, 5000);
  }
}

// The process's private world, made before main() (the library reads the
// variables when it first activates) and never destroyed: the exit handler
// stops the servers and removes it after the static destructors.
struct World {
  testsupport::PrivateUserFolders folders;
  std::string root = folders.Root(), project = root + "/e2e.orraproj";
  World() {
    // The server as a user registers it, with a grace period of 0.3 s.
    std::ofstream(root + "/config/moravane/classes/" + kClass) << E2E_SERVER_PATH << "\n--grace\n300\n";
    std::ofstream(project) << e2e::ProjectText();
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::atexit([] {
      StopServers();
      std::filesystem::remove_all(TheWorld().root);
    });
  }
  static World& TheWorld() {
    static World* const world = new World;
    return *world;
  }
};
inline const World& g_world = World::TheWorld();

// Runs a shell command line, as a user types it.
inline RunResult Sh(const std::string& line) {
  RunResult result;
  const std::string errors = g_world.root + "/stderr";
  FILE* pipe = ::popen(("(" + line + "\n) 2>'" + errors + "'").c_str(), "r");
  char buffer[65536];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, got);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.err = (std::stringstream() << std::ifstream(errors).rdbuf()).str();
  return result;
}

inline std::string Quote(const std::string& text) { return "'" + text + "'"; }
inline const std::string kCli = Quote(E2E_CLI_PATH) + " ", kDemo = " " E2E_DEMO_DIR "/demo.orraproj ";
inline const std::string kOurs = " " + Quote(g_world.project) + " ";

// The frame number of the pattern in 8-bit luma: block (c, r) of the upper
// three quarters is white when bit r*8+c is set.
inline long FrameNumber(const std::string& luma, std::size_t offset, int width, int height) {
  long number = 0;
  for (int bit = 0; bit < 24; ++bit) {
    const int x = (2 * (bit % 8) + 1) * width / 16, y = (2 * (bit / 8) + 1) * (3 * height / 4) / 6;
    if (std::uint8_t(luma[offset + std::size_t(y) * width + x]) > 127) number |= 1L << bit;
  }
  return number;
}

class E2e : public ::testing::Test {
 protected:
  void TearDown() override { StopServers(); }  // no test sees another's server
};

}  // namespace e2e
