// Every test must leave the process with as many live BSTRs as it found:
// a BSTR that the library received and did not free, or freed twice, shows
// up here as a failure of the test that caused it. Including this header
// into any source of a test executable installs the check once.
// Windows keeps no such count: there the header adds nothing.
#pragma once

#ifndef _WIN32
#include "support/CountGuard.h"

#include <platformdebug.h>

namespace moravanetest {

class LiveBstrCheck : public ::testing::EmptyTestEventListener {
 public:
  LiveBstrCheck() { m_counts.Watch("live BSTRs", platformdebug::LiveBstrCount); }
  void OnTestStart(const ::testing::TestInfo&) override { m_counts.Start(); }
  // Runs before the result printer (listeners end in reverse order), so the
  // failure is reported with the test that leaked.
  void OnTestEnd(const ::testing::TestInfo&) override { m_counts.Check(); }

 private:
  testsupport::CountGuard m_counts;
};

inline bool InstallLiveBstrCheck() {
  ::testing::UnitTest::GetInstance()->listeners().Append(new LiveBstrCheck);
  return true;
}

inline const bool kLiveBstrCheckInstalled = InstallLiveBstrCheck();

}  // namespace moravanetest

#endif  // _WIN32
