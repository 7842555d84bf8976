// Counts that a test must leave as it found them: live BSTRs, objects a
// server exports, anything a probe can count. The guard reads every count
// when it starts and, at the end, reports each one that moved as a failure
// of the running test. A probe may wait for the other process or the
// engine's threads to catch up: Check gives them `settle` to come back.
//
// Plain gtest and std only, so that the Windows builds use it too; what a
// probe reads there is up to the fixture (testserver/PlatformProbes.h).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

class CountGuard {
 public:
  using Probe = std::function<std::int64_t()>;

  // Watches `probe` from the next Start on. The count where the test must
  // leave it comes back by reference, for a test that replaces what is
  // counted (a server started again) to set it anew.
  std::int64_t& Watch(std::string what, Probe probe) {
    m_counts.push_back({std::move(what), std::move(probe), 0});
    return m_counts.back().start;
  }
  void Start() {
    for (Count& count : m_counts) count.start = count.probe();
  }
  void Check(std::chrono::milliseconds settle = std::chrono::milliseconds(0)) const {
    const auto deadline = std::chrono::steady_clock::now() + settle;
    for (const Count& count : m_counts) {
      std::int64_t now = count.probe();
      while (now != count.start && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        now = count.probe();
      }
      if (now != count.start)
        ADD_FAILURE() << count.what << ": " << count.start << " before the test, " << now << " after it";
    }
  }

 private:
  struct Count {
    std::string what;
    Probe probe;
    std::int64_t start;
  };
  std::deque<Count> m_counts;  // a deque keeps the references Watch gave out
};

}  // namespace testsupport
