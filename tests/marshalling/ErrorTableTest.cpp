// What the host sees for every combination of the server's result and error
// text, through a real dispatched call, marshalled and in place.
#include "Probe.h"
#include "support/LiveBstrCheck.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

namespace {

using moravanetest::FakeSlot;
using moravanetest::Probe;

struct Row {
  const char* name;
  bool emptyHandle;
  HRESULT hr;
  std::optional<std::u16string> text;
  // Outcome: either a LinkError with code and message, or the two results.
  bool throws;
  HRESULT code;
  std::u16string message;
  LONG direct;     // GetValue: the slot wrote into the result variable
  LONG converted;  // GetConverted: the executor stored after the check
};

enum class Mode { kMarshalled, kFreeThreaded };

class ErrorTable : public ::testing::TestWithParam<std::tuple<Mode, Row>> {};

const std::u16string kNonAscii = u"\x00E9t\x00E9 \x20AC \xD83D\xDE00";

TEST_P(ErrorTable, HostSeesTheTableOutcome) {
  const auto& [mode, row] = GetParam();
  std::optional<moravanetest::FreeThreaded> freeThreaded;
  if (mode == Mode::kFreeThreaded) freeThreaded.emplace();
  const unsigned long expectedThread =
      mode == Mode::kFreeThreaded ? kelvex::threads::GetCurrentThreadID() : moravanetest::CommunicationThreadId();

  FakeSlot slot;
  slot.hr = row.hr;
  slot.text = row.text;
  Probe probe(row.emptyHandle ? nullptr : &slot);

  using Method = LONG (Probe::*)();
  for (Method method : {&Probe::GetValue, &Probe::GetConverted}) {
    const bool direct = method == &Probe::GetValue;
    SCOPED_TRACE(direct ? "GetValue" : "GetConverted");
    slot.calls = 0;
    if (row.throws) {
      try {
        (probe.*method)();
        ADD_FAILURE() << "no LinkError";
      } catch (moravane::LinkError& error) {
        EXPECT_EQ(error.GetError(), row.code);
        EXPECT_EQ(std::u16string(error.GetErrorString().begin(), error.GetErrorString().end()), row.message);
        EXPECT_STREQ(error.what(), "");
        EXPECT_EQ(error.ShouldReconnect(),
                  row.code == moravane::kNoRemoteObject || (row.code & 0xFFFF) == LONG{0x06BA});
      }
    } else {
      EXPECT_EQ((probe.*method)(), direct ? row.direct : row.converted);
    }
    EXPECT_EQ(slot.calls, row.emptyHandle ? 0 : 1) << "an empty handle must send nothing";
    if (!row.emptyHandle) {
      EXPECT_EQ(slot.thread, expectedThread);
    }
  }
}

constexpr HRESULT kPositive = 0x00000005;
const HRESULT kServerUnavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);

// The rows with non-ASCII texts rely on our platform layer's ANSI code
// page being UTF-8 (the error text is read through it); Windows reads them
// through its own.
const Row kRows[] = {
    {"SuccessNoText", false, S_OK, std::nullopt, false, 0, u"", 7, 70},
    {"PositiveSuccessNoText", false, kPositive, std::nullopt, false, 0, u"", 7, 70},
    {"FailureNoText", false, E_FAIL, std::nullopt, true, E_FAIL, u"", 0, 0},
    {"ServerUnavailableNoText", false, kServerUnavailable, std::nullopt, true, kServerUnavailable, u"", 0, 0},
    {"SuccessAsciiText", false, S_OK, u"abc", true, 0, u"abc", 0, 0},
    {"PositiveAsciiText", false, kPositive, u"w", true, kPositive, u"w", 0, 0},
    {"FailureAsciiText", false, E_ACCESSDENIED, u"denied", true, E_ACCESSDENIED, u"denied", 0, 0},
    {"TextCutAtEmbeddedNul", false, E_FAIL, std::u16string(u"ab\0cd", 5), true, E_FAIL, u"ab", 0, 0},
    // The inner LinkError carries code 0 and no text, which the
    // host's check lets pass: the method returns what the slot wrote
    // into the result itself, or the initial value.
    {"SuccessEmptyText", false, S_OK, u"", false, 0, u"", 7, 0},
    {"FailureEmptyText", false, E_FAIL, u"", true, E_FAIL, u"", 0, 0},
    {"EmptyHandle", true, S_OK, std::nullopt, true, moravane::kNoRemoteObject, u"", 0, 0},
#ifndef _WIN32
    {"SuccessNonAsciiText", false, S_OK, kNonAscii, true, 0, kNonAscii, 0, 0},
    {"FailureNonAsciiText", false, E_FAIL, kNonAscii, true, E_FAIL, kNonAscii, 0, 0},
#endif
};

INSTANTIATE_TEST_SUITE_P(Rows, ErrorTable,
                         ::testing::Combine(::testing::Values(Mode::kMarshalled, Mode::kFreeThreaded),
                                            ::testing::ValuesIn(kRows)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == Mode::kMarshalled ? "Marshalled_"
                                                                                           : "FreeThreaded_") +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
