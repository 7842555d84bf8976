// Every test must leave the process with as many live BSTRs as it found:
// a BSTR that the library received and did not free, or freed twice, shows
// up here as a failure of the test that caused it. Including this header
// into any source of a test executable installs the check once.
// Windows keeps no such count: there the header adds nothing.
#pragma once

#ifndef _WIN32
#include <platformdebug.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace moravanetest {

class LiveBstrCheck : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override { m_atStart = platformdebug::LiveBstrCount(); }
  // Runs before the result printer (listeners end in reverse order), so the
  // failure is reported with the test that leaked.
  void OnTestEnd(const ::testing::TestInfo&) override {
    const std::int64_t now = platformdebug::LiveBstrCount();
    if (now != m_atStart) ADD_FAILURE() << "live BSTRs: " << m_atStart << " before the test, " << now << " after it";
  }

 private:
  std::int64_t m_atStart = 0;
};

inline bool InstallLiveBstrCheck() {
  ::testing::UnitTest::GetInstance()->listeners().Append(new LiveBstrCheck);
  return true;
}

inline const bool kLiveBstrCheckInstalled = InstallLiveBstrCheck();

}  // namespace moravanetest

#endif  // _WIN32
