#include <objbase.h>

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kMta = COINIT_MULTITHREADED, kSta = COINIT_APARTMENTTHREADED, kUninit = 0xFFFFFFFFu;

// Each scenario runs on a fresh thread, since the count belongs to the
// thread: steps of (model or kUninit, expected result).
TEST(CoInitializeEx, CountsPerThreadAndRefusesAnotherModel) {
  const std::vector<std::pair<DWORD, HRESULT>> scenarios[] = {
      {{kMta, S_OK}, {kMta, S_FALSE}, {kSta, RPC_E_CHANGED_MODE}, {kMta | COINIT_DISABLE_OLE1DDE, S_FALSE}},
      {{kSta, S_OK}, {kMta, RPC_E_CHANGED_MODE}, {kSta, S_FALSE}},
      {{kMta, S_OK}, {kMta, S_FALSE}, {kUninit, S_OK}, {kSta, RPC_E_CHANGED_MODE}, {kUninit, S_OK}, {kSta, S_OK}},
      {{kUninit, S_OK}, {kMta, S_OK}},
  };
  for (const auto& steps : scenarios) {
    std::vector<HRESULT> results;
    std::thread([&] {
      for (const auto& [model, expected] : steps) {
        if (model == kUninit) {
          ::CoUninitialize();
          results.push_back(S_OK);
        } else {
          results.push_back(::CoInitializeEx(nullptr, model));
        }
      }
    }).join();
    for (std::size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(results[i], steps[i].second) << "step " << i;
  }
}

}  // namespace
