#include "support/LiveBstrCheck.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct Step {
  enum Kind { kInit, kUninit } kind;
  DWORD model;
  HRESULT expected;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

class CoInitialize : public ::testing::TestWithParam<Scenario> {};

// Each scenario runs on a fresh thread: the count belongs to the thread.
TEST_P(CoInitialize, CountsPerThread) {
  std::vector<HRESULT> results;
  std::thread thread([&] {
    for (const Step& step : GetParam().steps) {
      if (step.kind == Step::kInit) {
        results.push_back(CoInitializeEx(nullptr, step.model));
      } else {
        CoUninitialize();
        results.push_back(S_OK);
      }
    }
  });
  thread.join();
  ASSERT_EQ(results.size(), GetParam().steps.size());
  for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], GetParam().steps[i].expected) << "step " << i;
}

constexpr DWORD kMta = COINIT_MULTITHREADED;
constexpr DWORD kSta = COINIT_APARTMENTTHREADED;
constexpr Step Init(DWORD model, HRESULT expected) { return Step{Step::kInit, model, expected}; }
constexpr Step Uninit() { return Step{Step::kUninit, 0, S_OK}; }

INSTANTIATE_TEST_SUITE_P(
    Scenarios, CoInitialize,
    ::testing::Values(
        Scenario{"FirstThenAgain", {Init(kMta, S_OK), Init(kMta, S_FALSE), Init(kMta, S_FALSE)}},
        Scenario{"OtherModelRefused", {Init(kMta, S_OK), Init(kSta, RPC_E_CHANGED_MODE), Init(kMta, S_FALSE)}},
        Scenario{"ApartmentFirst", {Init(kSta, S_OK), Init(kMta, RPC_E_CHANGED_MODE), Init(kSta, S_FALSE)}},
        Scenario{"OtherFlagsKeepTheModel", {Init(kMta, S_OK), Init(kMta | COINIT_DISABLE_OLE1DDE, S_FALSE)}},
        Scenario{"BalancedUninitStartsOver",
                 {Init(kMta, S_OK), Init(kMta, S_FALSE), Uninit(), Init(kSta, RPC_E_CHANGED_MODE), Uninit(),
                  Init(kSta, S_OK)}},
        Scenario{"ExtraUninitIsHarmless", {Uninit(), Init(kMta, S_OK)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CoInitializeEx, ReservedArgumentIsIgnoredAndTheCallCounts) {
  // As on Windows: the reserved pointer is not looked at.
  std::thread thread([] {
    int reserved = 0;
    EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE) << "the first call counted";
    CoUninitialize();
    CoUninitialize();
  });
  thread.join();
}

TEST(CoInitializeEx, AnotherThreadHasItsOwnCount) {
  std::thread first([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    std::thread second([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); });
    second.join();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
  });
  first.join();
}

}  // namespace
