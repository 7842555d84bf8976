// What the end-to-end tests share: a private per-user world for the test
// process (its own XDG_CONFIG_HOME with the server's class registration and
// its own XDG_RUNTIME_DIR for the endpoints), so that nothing collides with
// other processes of the machine, and the bookkeeping that guarantees no
// server process outlives the test.
//
// The servers are started by activation, detached from the test process;
// the test process makes itself their subreaper so that it can see, stop
// and reap them.
#pragma once

#include "support/ExpectLinkError.h"
#include <moravane/LinkError.h>
#include <moravane/Types.h>

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

// The folder of this test process's private world; project files made by
// the tests go below it.
const std::string& WorkDirectory();

// Writes `text` to WorkDirectory()/name and returns the full path.
std::string WriteFile(const std::string& name, const std::string& text);

// Processes that are this process's children now (servers started by
// activation land here).
std::vector<pid_t> ChildProcesses();

// Waits until `pid` has exited and reaps it; false after `timeoutMs`.
bool WaitExited(pid_t pid, int timeoutMs);

// Stops (SIGTERM, then SIGKILL) and reaps every child.
void StopAllChildren();

// Runs a program and returns its exit code with what it wrote.
struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
RunResult RunProgram(const std::vector<std::string>& arguments);

std::string Utf8(const moravane::WideString& text);
moravane::WideString Wide(const std::string& text);

// Calls `call`, expects a LinkError and returns it (a default one, with a
// test failure, when nothing or something else was thrown).
using testsupport::ExpectLinkError;

// Every test ends with the servers stopped and reaped, so that a test never
// sees another's server and none is leaked.
class E2eTest : public ::testing::Test {
 protected:
  void TearDown() override;
};

}  // namespace e2e
