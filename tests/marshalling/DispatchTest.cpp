// Where deferred calls run, what their callers get back, and the
// communication thread that runs them.
#include "marshalling/Dispatch.h"
#include "support/LiveBstrCheck.h"

#include <comsupport/WideChars.h>
#include <moravane/ThreadedState.h>

#include <objbase.h>

#include <gtest/gtest.h>

#include <boost/bind/bind.hpp>
#include <atomic>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kelvex::threads::GetCurrentThreadID;
using moravane::LinkError;

// One slot of a remote interface: writes `value` through its out-parameter,
// then answers `hr` and, when `text` is set, a fresh BSTR the caller frees.
struct FakeSlot {
  HRESULT hr = S_OK;
  std::optional<std::u16string> text{};
  bool throwLong = false;
  int calls = 0;
  unsigned long thread = 0;

  HRESULT Get(LONG* out, BSTR* errorText) {
    ++calls;
    thread = GetCurrentThreadID();
    *out = 7;
    if (throwLong) throw 42L;
    if (text) *errorText = ::SysAllocStringLen(comsupport::AsOleChars(text->data()), static_cast<UINT>(text->size()));
    return hr;
  }
};

// Built like the library's handles: public methods bind an executor and
// dispatch it; the executor calls the slot and checks its result.
class Probe {
 public:
  explicit Probe(FakeSlot* slot = nullptr) : m_slot(slot) {}
  template <class Body>
  LONG Run(Body body) {
    LONG result = 0;
    moravane::WideString errorText;
    moravane::detail::DispatchCall(boost::bind(&Probe::Execute<Body>, this, body, &result), errorText);
    return result;
  }
  template <class Body>
  void RunUnchecked(Body body) {
    LONG result = 0;
    moravane::detail::DispatchUnchecked(boost::bind(&Probe::Execute<Body>, this, body, &result));
  }
  // Converted: the executor stores the out-value after the check; otherwise
  // the slot writes straight into the result variable.
  LONG Get(bool converted) {
    return Run([this, converted](LONG* result) {
      BSTR errorText = nullptr;
      if (m_slot == nullptr) moravane::CheckServerResult(moravane::kNoRemoteObject, nullptr);
      LONG out = 0;
      const HRESULT hr = m_slot->Get(converted ? &out : result, &errorText);
      moravane::CheckServerResult(hr, errorText);
      if (converted) *result = out * 10;
    });
  }
  unsigned long ThreadOfCall() {
    return static_cast<unsigned long>(Run([](LONG* result) { *result = static_cast<LONG>(GetCurrentThreadID()); }));
  }

 private:
  template <class Body>
  void Execute(const Body& body, LONG* result) {
    body(result);
  }
  FakeSlot* m_slot;
};

struct FreeThreaded {
  FreeThreaded() { moravane::ThreadedState::SetFreeThreaded(true); }
  ~FreeThreaded() { moravane::ThreadedState::SetFreeThreaded(false); }
};

unsigned long CommunicationThreadId() { return moravane::CommunicationThread::Instance()->GetThreadId(); }

// Runs `body` on another thread; false when it did not finish in time (it
// is then left behind): a deadlock fails the test instead of hanging it.
template <class Body>
bool FinishesWithin(std::chrono::seconds limit, Body body) {
  auto task = std::make_shared<std::packaged_task<void()>>(body);
  std::future<void> done = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (done.wait_for(limit) != std::future_status::ready) return false;
  done.get();
  return true;
}

// --- what the host sees for the server's result and error text ----------------

struct Row {
  const char* name;
  HRESULT hr = S_OK;
  std::optional<std::u16string> text{};
  bool emptyHandle = false, throwLong = false;
  std::optional<std::u16string> message{};  // thrown LinkError's text; none: the call returns
  HRESULT code = 0;
  LONG direct = 0, converted = 0;  // returned by Get(false) and Get(true)
  bool reconnect = false;
};

const HRESULT kServerUnavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
const std::u16string kNonAscii = u"\x00E9t\x00E9 \x20AC \xD83D\xDE00";

// Any text fails the executor, an empty one too; but the caller's check
// passes code 0 without text, and the method then returns what the slot
// wrote into the result itself.
const Row kRows[] = {
    {.name = "SuccessNoText", .direct = 7, .converted = 70},
    {.name = "PositiveNoText", .hr = 5, .direct = 7, .converted = 70},
    {.name = "FailureNoText", .hr = E_FAIL, .message = u"", .code = E_FAIL},
    {.name = "ServerUnavailable",
     .hr = kServerUnavailable,
     .message = u"",
     .code = kServerUnavailable,
     .reconnect = true},
    {.name = "ServerUnavailableAnyFacility",
     .hr = static_cast<HRESULT>(0xFFFF06BAu),
     .text = u"x",
     .message = u"x",
     .code = static_cast<HRESULT>(0xFFFF06BAu),
     .reconnect = true},
    {.name = "NextCodeIsNoReason",
     .hr = static_cast<HRESULT>(0x800706BBu),
     .message = u"",
     .code = static_cast<HRESULT>(0x800706BBu)},
    {.name = "SuccessWithText", .text = u"abc", .message = u"abc"},
    {.name = "SuccessEmptyText", .text = u"", .direct = 7},
    {.name = "PositiveWithText", .hr = 5, .text = u"w", .message = u"w", .code = 5},
    {.name = "FailureWithText", .hr = E_ACCESSDENIED, .text = u"denied", .message = u"denied", .code = E_ACCESSDENIED},
    {.name = "TextCutAtNul", .hr = E_FAIL, .text = std::u16string(u"ab\0cd", 5), .message = u"ab", .code = E_FAIL},
    {.name = "FailureEmptyText", .hr = E_FAIL, .text = u"", .message = u"", .code = E_FAIL},
    {.name = "EmptyHandle", .emptyHandle = true, .message = u"", .code = moravane::kNoRemoteObject, .reconnect = true},
    {.name = "ThrownLong", .throwLong = true, .message = u"", .code = moravane::kThrownLong},
#ifndef _WIN32
    // The text is read through the ANSI code page, UTF-8 in our platform layer.
    {.name = "NonAsciiText", .hr = E_FAIL, .text = kNonAscii, .message = kNonAscii, .code = E_FAIL},
    {.name = "LoneSurrogate", .hr = E_FAIL, .text = u"a\xD800", .message = u"a\xFFFD", .code = E_FAIL},
#endif
};

class ErrorTable : public ::testing::TestWithParam<std::tuple<bool, Row>> {};

TEST_P(ErrorTable, HostSeesTheTableOutcome) {
  const auto& [freeThreadedMode, row] = GetParam();
  std::optional<FreeThreaded> freeThreaded;
  if (freeThreadedMode) freeThreaded.emplace();
  FakeSlot slot{row.hr, row.text, row.throwLong};
  Probe probe(row.emptyHandle ? nullptr : &slot);
  for (const bool converted : {false, true}) {
    slot.calls = 0;
    if (!row.message) {
      EXPECT_EQ(probe.Get(converted), converted ? row.converted : row.direct);
    } else {
      try {
        probe.Get(converted);
        ADD_FAILURE() << "no LinkError";
      } catch (LinkError& error) {
        EXPECT_EQ(error.GetError(), row.code);
        EXPECT_EQ(std::u16string(error.GetErrorString().begin(), error.GetErrorString().end()), *row.message);
        EXPECT_STREQ(error.what(), "");
        EXPECT_EQ(error.ShouldReconnect(), row.reconnect);
      }
    }
    EXPECT_EQ(slot.calls, row.emptyHandle ? 0 : 1) << "an empty handle must send nothing";
    if (!row.emptyHandle) {
      EXPECT_EQ(slot.thread, freeThreadedMode ? GetCurrentThreadID() : CommunicationThreadId());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ErrorTable, ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kRows)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "FreeThreaded_" : "Marshalled_") +
                                  std::get<1>(info.param).name;
                         });

// --- the communication thread --------------------------------------------------

TEST(CommunicationThread, FirstUseFromManyThreadsStartsOneThreadInTheMultithreadedApartment) {
  std::vector<std::thread> threads;
  std::vector<moravane::CommunicationThread*> seen(6);
  for (std::size_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&, t] { seen[t] = moravane::CommunicationThread::Instance(); });
  for (std::thread& thread : threads) thread.join();
  for (auto* instance : seen) EXPECT_EQ(instance, seen.front());
  EXPECT_NE(CommunicationThreadId(), GetCurrentThreadID());
  HRESULT again = E_FAIL;
  Probe().Run([&](LONG*) {
    again = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(again)) ::CoUninitialize();
  });
  EXPECT_EQ(again, S_FALSE) << "the thread had not joined the multithreaded apartment";
}

// A stopped idle lock refuses before the hand-over: the call is not run and
// stays the caller's to free.
TEST(IdleLock, StoppedLockRaisesTheStopSignalAndLeavesTheCallToTheCaller) {
  struct Counting : moravane::detail::Executor {
    int runs = 0;
    void Execute() override { ++runs; }
  } executor;
  moravane::detail::idlelockclient::MoraVaneIdleLock lock;
  lock.StopAllExecution();
  EXPECT_THROW(lock.Submit(&executor), int);
  lock.RunPending();  // nothing may be pending
  EXPECT_EQ(executor.runs, 0);
}

// --- dispatch -----------------------------------------------------------------

// An executor calling back into the library is on the communication thread
// and runs the inner call in place: waiting for the busy thread would never end.
TEST(Dispatch, ReentrantCallsRunInPlaceAndTheirFailuresReachTheOuterExecutor) {
  Probe probe;
  unsigned long inner = 0, outer = 0;
  LONG innerError = 0;
  ASSERT_TRUE(FinishesWithin(30s, [&] {
    outer = static_cast<unsigned long>(probe.Run([&](LONG* result) {
      inner = probe.ThreadOfCall();
      try {
        probe.Run([](LONG*) { throw LinkError(moravane::WideString(u"inner"), E_ABORT); });
      } catch (const LinkError& error) {
        innerError = error.GetError();
      }
      *result = static_cast<LONG>(GetCurrentThreadID());
    }));
  })) << "a call from inside an executor deadlocked";
  EXPECT_EQ(outer, CommunicationThreadId());
  EXPECT_EQ(inner, outer);
  EXPECT_EQ(innerError, E_ABORT);
}

TEST(Dispatch, ManyHostThreadsAreServedOneAtATime) {
  constexpr int kThreads = 8, kCalls = 5000;
  Probe probe;
  const unsigned long communication = CommunicationThreadId();
  std::atomic<int> running{0}, overlaps{0}, wrongThread{0}, wrongResult{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (LONG request = t * kCalls; request < (t + 1) * kCalls; ++request) {
        const LONG answer = probe.Run([&, request](LONG* result) {
          if (running.fetch_add(1) != 0) ++overlaps;
          if (GetCurrentThreadID() != communication) ++wrongThread;
          *result = request * 3 + 1;
          running.fetch_sub(1);
        });
        if (answer != request * 3 + 1) ++wrongResult;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(wrongThread.load(), 0);
  EXPECT_EQ(wrongResult.load(), 0);
}

// Another exception type on the communication thread never reaches the
// caller: it is released with code 0 and the result as the executor left
// it, and the same thread keeps serving. In place it passes to the caller.
TEST(Dispatch, ForeignExceptionOnTheCommunicationThreadReleasesTheCaller) {
  Probe probe;
  const unsigned long before = probe.ThreadOfCall();
  for (const bool writeFirst : {false, true}) {
    LONG answer = -99;
    ASSERT_TRUE(FinishesWithin(30s, [&] {
      answer = probe.Run([&](LONG* result) {
        if (writeFirst) *result = 5;
        throw std::runtime_error("not the library's");
      });
    })) << "the caller was never released";
    EXPECT_EQ(answer, writeFirst ? 5 : 0);
  }
  EXPECT_THROW(probe.Run([](LONG*) { throw LinkError(E_FAIL); }), LinkError);
  EXPECT_EQ(probe.ThreadOfCall(), before) << "served by the same thread";
  FreeThreaded freeThreaded;
  EXPECT_THROW(probe.Run([](LONG*) { throw std::runtime_error("passes"); }), std::runtime_error);
}

TEST(Dispatch, UncheckedCallsNeverThrowLinkError) {
  Probe probe;
  EXPECT_NO_THROW(probe.RunUnchecked([](LONG*) { throw LinkError(E_FAIL); }));
  EXPECT_NO_THROW(probe.RunUnchecked([](LONG*) { throw 1L; }));
  FreeThreaded freeThreaded;
  EXPECT_NO_THROW(probe.RunUnchecked([](LONG*) { throw LinkError(E_FAIL); }));
}

// Bound by value into the call, so its copy dies with the deferred call. On
// the communication thread it waits (bounded) for the caller to say it was
// released: a call deleted before its caller was let go never sees that.
struct Witness {
  unsigned long communication;
  std::shared_ptr<std::atomic<int>> state;  // 1: caller released, 2: deleted after that, 3: deleted before
  ~Witness() {
    if (GetCurrentThreadID() != communication) return;
    for (int i = 0; i < 5000 && state->load() == 0; ++i) std::this_thread::sleep_for(1ms);
    state->store(state->load() == 1 ? 2 : 3);
  }
};

TEST(Dispatch, DeferredCallIsRunOnceAndDeletedOnTheCommunicationThreadAfterTheCallerIsReleased) {
  auto state = std::make_shared<std::atomic<int>>(0);
  int runs = 0;
  Probe probe;
  probe.Run([&runs, witness = Witness{CommunicationThreadId(), state}](LONG*) { ++runs; });
  state->store(1);
  for (int i = 0; i < 10000 && state->load() == 1; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(state->load(), 2);
  EXPECT_EQ(runs, 1);
}

}  // namespace
