// The support library's pieces whose Windows path differs from Linux: GUID
// text forms, UTF-8 widening (through the system's code-page functions) and
// the barrier (atomic wait/notify on Windows, a futex on Linux).
#include <kelvex/Guid.h>
#include <kelvex/Strings.h>
#include <kelvex/Threads.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using kelvex::utility::Guid;

TEST(Guid, ParsesBothFormsAndPrintsTheRegistryForm) {
  const _GUID expected = {0x3DF590F4, 0xAEC5, 0x48BD, {0xA6, 0x44, 0x00, 0x0B, 0xB8, 0xCE, 0xA9, 0x47}};
  for (const char* text : {"{3DF590F4-AEC5-48BD-A644-000BB8CEA947}", "3df590f4-aec5-48bd-a644-000bb8cea947"}) {
    SCOPED_TRACE(text);
    const std::optional<Guid> parsed = Guid::Parse(text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_TRUE(IsEqualGUID(parsed->GetGUID(), expected));
    EXPECT_EQ(parsed->ToString(), "{3DF590F4-AEC5-48BD-A644-000BB8CEA947}");
  }
  EXPECT_TRUE(Guid().IsNull());
  EXPECT_FALSE(Guid(expected).IsNull());
}

TEST(Guid, RejectsMalformedText) {
  for (const char* text : {"", "{3DF590F4-AEC5-48BD-A644-000BB8CEA947", "3DF590F4-AEC5-48BD-A644-000BB8CEA94G",
                           "3DF590F4AEC5-48BD-A644-000BB8CEA9470", "{3DF590F4-AEC5-48BD-A644-000BB8CEA947}x",
                           "(3DF590F4-AEC5-48BD-A644-000BB8CEA947)"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(Guid::Parse(text).has_value());
    EXPECT_THROW(Guid{std::string_view(text)}, std::invalid_argument);
  }
}

struct WideningCase {
  std::string narrow;
  std::u16string wide;
};

TEST(AsciiToUTF16, WidensUtf8ReplacesBadBytesAndStopsAtNul) {
  const WideningCase cases[] = {
      {"", u""},
      {"plain ascii", u"plain ascii"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", u"caf\u00E9 \u20AC \U0001F600"},
      {"bad\xFF", u"bad\xFFFD"},
      {std::string("stop\0here", 9), u"stop"},
  };
  for (const WideningCase& c : cases) {
    SCOPED_TRACE(c.narrow);
    const kelvex::utility::UTF16String wide = kelvex::utility::AsciiToUTF16(c.narrow);
    EXPECT_EQ(std::u16string(wide.begin(), wide.end()), c.wide);
  }
  const kelvex::utility::UTF16String back = kelvex::utility::AsciiToUTF16("caf\xC3\xA9");
  EXPECT_EQ(kelvex::utility::UTF16ToUTF8(back), "caf\xC3\xA9");
}

// Every cycle releases all participants together, and exactly one of them
// is told that it completed the cycle. With no spinning every waiter sleeps,
// which is the path that differs between the platforms.
class BarrierTest : public ::testing::TestWithParam<std::uint32_t> {
 protected:
  void SetUp() override {
    saved = kelvex::threads::SpinNanoseconds();
    kelvex::threads::SetSpinNanoseconds(GetParam());
  }
  void TearDown() override { kelvex::threads::SetSpinNanoseconds(saved); }
  std::uint32_t saved = 0;
};

TEST_P(BarrierTest, ReleasesAllTogetherOneCompleterPerCycle) {
  constexpr unsigned kThreads = 4;
  constexpr int kCycles = 300;
  kelvex::threads::Barrier barrier("test barrier", kThreads);
  std::atomic<int> completers{0};
  std::vector<std::atomic<int>> arrivals(kCycles);
  std::atomic<bool> overtaken{false};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int cycle = 0; cycle < kCycles; ++cycle) {
        arrivals[cycle].fetch_add(1);
        if (barrier.Wait()) completers.fetch_add(1);
        // Nobody leaves a cycle before everybody has arrived in it.
        if (arrivals[cycle].load() != static_cast<int>(kThreads)) overtaken = true;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(completers.load(), kCycles);
  EXPECT_FALSE(overtaken.load());
}

INSTANTIATE_TEST_SUITE_P(SpinBudgets, BarrierTest, ::testing::Values(0u, 20000u),
                         [](const ::testing::TestParamInfo<std::uint32_t>& info) {
                           return info.param == 0 ? std::string("Sleeping") : std::string("Spinning");
                         });

}  // namespace
