// The call path on a real COM runtime: the communication thread in the
// multithreaded apartment, marshalled and in-place dispatch, the two result
// checks, and LinkError's meaning.
#include "marshalling/Dispatch.h"

#include <comsupport/WideChars.h>
#include <moravane/LinkError.h>
#include <moravane/ThreadedState.h>

#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <atomic>
#include <boost/bind/bind.hpp>
#include <thread>
#include <vector>

namespace {

using moravane::LinkError;
using moravane::WideString;
using moravane::detail::DispatchCall;

WideString Wide(const char* text) { return kelvex::utility::AsciiToUTF16(text); }

// --- LinkError -----------------------------------------------------------------

struct ReconnectCase {
  HRESULT code;
  bool reconnect;
};

TEST(LinkError, ShouldReconnectOnlyWhenTheLinkIsGone) {
  const ReconnectCase cases[] = {
      {moravane::kNoRemoteObject, true},
      {static_cast<HRESULT>(0x800706BAu), true},   // RPC server unavailable, as COM reports it
      {static_cast<HRESULT>(0x000006BAu), true},   // the bare Win32 code
      {static_cast<HRESULT>(0x800106BAu), true},   // another facility, same code
      {static_cast<HRESULT>(0x800706BEu), false},  // the call failed, the server is there
      {E_FAIL, false},
      {moravane::kSharedMemoryFailed, false},
      {S_OK, false},
  };
  for (const ReconnectCase& c : cases) {
    LinkError error(c.code);
    EXPECT_EQ(error.ShouldReconnect(), c.reconnect) << std::hex << static_cast<unsigned long>(c.code);
  }
}

TEST(LinkError, CarriesTextAndCodeThroughCopiesAndCatchesAsStdException) {
  const LinkError original(Wide("no such project"), E_INVALIDARG);
  LinkError copy(original);
  LinkError assigned;
  assigned = copy;
  for (const LinkError* error : {&copy, &assigned}) {
    EXPECT_EQ(error->GetError(), E_INVALIDARG);
    EXPECT_EQ(error->GetErrorString(), Wide("no such project"));
    EXPECT_STREQ(error->what(), "");
  }
  try {
    throw original;
  } catch (const std::exception& caught) {
    const auto* asLinkError = dynamic_cast<const LinkError*>(&caught);
    ASSERT_NE(asLinkError, nullptr);
    EXPECT_EQ(asLinkError->GetError(), E_INVALIDARG);
  }
}

// --- The two checks -------------------------------------------------------------

TEST(CheckServerResult, PassesSuccessWithoutTextAndThrowsOtherwise) {
  EXPECT_EQ(moravane::CheckServerResult(S_FALSE, nullptr), S_FALSE);
  try {
    moravane::CheckServerResult(E_ACCESSDENIED, nullptr);
    FAIL() << "no LinkError";
  } catch (const LinkError& error) {
    EXPECT_EQ(error.GetError(), E_ACCESSDENIED);
    EXPECT_TRUE(error.GetErrorString().empty());
  }
  // A server's text fails the call even with S_OK; the text is taken over.
  BSTR text = comsupport::AllocateBstr(u"render failed: disk full").Detach();
  try {
    moravane::CheckServerResult(S_OK, text);
    FAIL() << "no LinkError";
  } catch (const LinkError& error) {
    EXPECT_EQ(error.GetError(), S_OK);
    EXPECT_EQ(error.GetErrorString(), Wide("render failed: disk full"));
  }
}

TEST(CheckCallResult, ThrowsForAnyCodeOrText) {
  EXPECT_NO_THROW(moravane::CheckCallResult(0, WideString()));
  EXPECT_THROW(moravane::CheckCallResult(E_FAIL, WideString()), LinkError);
  EXPECT_THROW(moravane::CheckCallResult(0, Wide("text")), LinkError);
}

// --- Dispatch --------------------------------------------------------------------

// An object in the library's pattern: public methods bind their executor and
// dispatch it; executors record where and how they ran.
class Probe {
 public:
  unsigned long ThreadOfCall() {
    LONG result = 0;
    WideString errorText;
    DispatchCall(boost::bind(&Probe::ThreadOfCallExecutor, this, &result), errorText);
    return static_cast<unsigned long>(result);
  }
  HRESULT ApartmentProbe(DWORD coInit) {
    LONG result = 0;
    WideString errorText;
    DispatchCall(boost::bind(&Probe::ApartmentProbeExecutor, this, coInit, &result), errorText);
    return static_cast<HRESULT>(result);
  }
  void FailWithServerText(HRESULT code, const char16_t* text) {
    WideString errorText;
    DispatchCall(boost::bind(&Probe::FailExecutor, this, code, text), errorText);
  }
  // Makes a nested public call from inside an executor.
  unsigned long NestedThreadOfCall() {
    LONG result = 0;
    WideString errorText;
    DispatchCall(boost::bind(&Probe::NestedExecutor, this, &result), errorText);
    return static_cast<unsigned long>(result);
  }

 private:
  void ThreadOfCallExecutor(LONG* result) { *result = static_cast<LONG>(kelvex::threads::GetCurrentThreadID()); }
  void ApartmentProbeExecutor(DWORD coInit, LONG* result) {
    const HRESULT hr = ::CoInitializeEx(nullptr, coInit);
    if (SUCCEEDED(hr)) ::CoUninitialize();
    *result = hr;
  }
  void FailExecutor(HRESULT code, const char16_t* text) {
    moravane::CheckServerResult(code, comsupport::AllocateBstr(text).Detach());
  }
  void NestedExecutor(LONG* result) { *result = static_cast<LONG>(ThreadOfCall()); }
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { moravane::ThreadedState::SetFreeThreaded(false); }
  void TearDown() override { moravane::ThreadedState::SetFreeThreaded(false); }
  Probe probe;
};

TEST_F(DispatchTest, MarshalledCallRunsOnTheCommunicationThread) {
  const unsigned long communication = moravane::CommunicationThread::Instance()->GetThreadId();
  ASSERT_NE(communication, 0ul);
  EXPECT_NE(communication, kelvex::threads::GetCurrentThreadID());
  EXPECT_EQ(probe.ThreadOfCall(), communication);
}

TEST_F(DispatchTest, CommunicationThreadLivesInTheMultithreadedApartment) {
  // Real COM counts apartments per thread: the thread's own initialisation
  // makes a further MTA request S_FALSE and an STA request a change of mode.
  EXPECT_EQ(probe.ApartmentProbe(COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(probe.ApartmentProbe(COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
}

TEST_F(DispatchTest, FreeThreadedCallRunsOnTheCaller) {
  moravane::ThreadedState::SetFreeThreaded(true);
  EXPECT_TRUE(moravane::ThreadedState::GetFreeThreaded());
  EXPECT_EQ(probe.ThreadOfCall(), kelvex::threads::GetCurrentThreadID());
}

TEST_F(DispatchTest, ServerFailureReachesTheCallerAsLinkError) {
  for (bool freeThreaded : {false, true}) {
    moravane::ThreadedState::SetFreeThreaded(freeThreaded);
    try {
      probe.FailWithServerText(E_INVALIDARG, u"bad frame size");
      FAIL() << "no LinkError";
    } catch (const LinkError& error) {
      EXPECT_EQ(error.GetError(), E_INVALIDARG);
      EXPECT_EQ(error.GetErrorString(), Wide("bad frame size"));
    }
  }
}

TEST_F(DispatchTest, CallMadeFromTheCommunicationThreadRunsInPlace) {
  // Marshalling again would wait for the thread that is making the call.
  EXPECT_EQ(probe.NestedThreadOfCall(), moravane::CommunicationThread::Instance()->GetThreadId());
}

TEST_F(DispatchTest, ManyHostThreadsAllServedOnTheCommunicationThread) {
  constexpr int kThreads = 6;
  constexpr int kCalls = 300;
  const unsigned long communication = moravane::CommunicationThread::Instance()->GetThreadId();
  std::atomic<int> served{0};
  std::atomic<int> misplaced{0};
  std::atomic<int> lostErrors{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        if ((i + t) % 7 == 0) {
          try {
            probe.FailWithServerText(E_FAIL, u"x");
            lostErrors.fetch_add(1);
          } catch (const LinkError&) {
          }
          continue;
        }
        if (probe.ThreadOfCall() != communication) misplaced.fetch_add(1);
        served.fetch_add(1);
      }
    });
  }
  for (std::thread& host : hosts) host.join();
  EXPECT_EQ(misplaced.load(), 0);
  EXPECT_EQ(lostErrors.load(), 0);
  int expectedServed = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kCalls; ++i) expectedServed += (i + t) % 7 != 0;
  }
  EXPECT_EQ(served.load(), expectedServed);
}

}  // namespace
