// Where deferred calls run and what their callers get back.
#include "Probe.h"
#include "support/LiveBstrCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kelvex::threads::GetCurrentThreadID;
using moravanetest::CommunicationThreadId;
using moravanetest::FinishesWithin;
using moravanetest::Probe;

TEST(Dispatch, FreeThreadedCallsRunOnTheCallersThread) {
  moravanetest::FreeThreaded freeThreaded;
  Probe probe;
  std::vector<std::thread> threads;
  std::atomic<int> elsewhere{0};
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        if (probe.ThreadOfCall() != GetCurrentThreadID()) ++elsewhere;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(probe.ThreadOfCall(), GetCurrentThreadID());
  EXPECT_EQ(elsewhere.load(), 0);
}

TEST(Dispatch, MarshalledCallsRunOnTheCommunicationThread) {
  Probe probe;
  const unsigned long communication = probe.ThreadOfCall();
  EXPECT_NE(communication, GetCurrentThreadID());
  EXPECT_EQ(communication, CommunicationThreadId());
  std::thread other([&] { EXPECT_EQ(probe.ThreadOfCall(), communication) << "one thread serves every host thread"; });
  other.join();
}

// An executor calling back into the library finds itself on the
// communication thread and runs the inner call in place; the thread is busy
// with the outer call, so waiting for it would never end.
TEST(Dispatch, ReentrantCallsRunInPlaceWithoutDeadlock) {
  Probe probe;
  unsigned long inner = 0, innermost = 0, outer = 0;
  const bool finished = FinishesWithin(30s, [&] {
    outer = static_cast<unsigned long>(probe.Run([&](LONG* result) {
      inner = static_cast<unsigned long>(probe.Run([&](LONG* innerResult) {
        innermost = probe.ThreadOfCall();
        *innerResult = static_cast<LONG>(GetCurrentThreadID());
      }));
      *result = static_cast<LONG>(GetCurrentThreadID());
    }));
  });
  ASSERT_TRUE(finished) << "a call from inside an executor deadlocked";
  EXPECT_EQ(outer, CommunicationThreadId());
  EXPECT_EQ(inner, outer);
  EXPECT_EQ(innermost, outer);
}

TEST(Dispatch, ReentrantFailureReachesTheOuterExecutorAsLinkError) {
  Probe probe;
  LONG seen = 0;
  probe.Run([&](LONG*) {
    try {
      probe.Run([](LONG*) { throw moravane::LinkError(moravane::WideString(u"inner"), E_ABORT); });
    } catch (const moravane::LinkError& error) {
      seen = error.GetError();
    }
  });
  EXPECT_EQ(seen, E_ABORT);
}

// Many host threads at once: every caller gets its own result, and the
// communication thread runs one call at a time.
TEST(Dispatch, ManyHostThreadsAreServedOneAtATime) {
  constexpr int kThreads = 8, kCalls = 10000;
  Probe probe;
  const unsigned long communication = CommunicationThreadId();
  std::atomic<int> running{0}, overlaps{0}, wrongThread{0}, wrongResult{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const LONG request = t * kCalls + i;
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

TEST(Dispatch, TheCallAfterALinkErrorIsServed) {
  Probe probe;
  const unsigned long before = probe.ThreadOfCall();
  EXPECT_THROW(probe.Run([](LONG*) { throw moravane::LinkError(E_FAIL); }), moravane::LinkError);
  EXPECT_EQ(probe.Run([](LONG* result) { *result = 12; }), 12);
  EXPECT_EQ(probe.ThreadOfCall(), before);
}

class ThrownLong : public ::testing::TestWithParam<bool> {};

TEST_P(ThrownLong, BecomesCodeMinusOneWithoutText) {
  std::optional<moravanetest::FreeThreaded> freeThreaded;
  if (GetParam()) freeThreaded.emplace();
  Probe probe;
  try {
    probe.Run([](LONG* result) {
      *result = 3;
      throw 42L;
    });
    FAIL() << "no LinkError";
  } catch (const moravane::LinkError& error) {
    EXPECT_EQ(error.GetError(), -1);
    EXPECT_TRUE(error.GetErrorString().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ThrownLong, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "FreeThreaded" : "Marshalled"; });

// Another exception type on the communication thread never reaches the
// caller: it is released with result code 0 and gets the result variable as
// the executor left it. The thread then keeps serving.
TEST(Dispatch, ForeignExceptionOnTheCommunicationThreadReleasesTheCaller) {
  Probe probe;
  const unsigned long before = probe.ThreadOfCall();
  // One caller thread makes every call, the last an ordinary one that returns
  // only once the communication thread serves again: no caller exits while
  // that thread still unwinds (under Wine that stalled both; docs/windows.md).
  std::vector<LONG> answers;
  LONG after = 0;
  const bool finished = FinishesWithin(30s, [&] {
    for (const bool writeFirst : {false, true, false}) {
      answers.push_back(probe.Run([&](LONG* result) {
        if (writeFirst) *result = 5;
        throw std::runtime_error("not the library's");
      }));
    }
    after = probe.Run([](LONG* result) { *result = 8; });
  });
  ASSERT_TRUE(finished) << "a caller was never released";
  EXPECT_EQ(answers, (std::vector<LONG>{0, 5, 0}));
  EXPECT_EQ(after, 8) << "the library is still usable";
  EXPECT_EQ(probe.ThreadOfCall(), before) << "served by the same thread";
}

TEST(Dispatch, ForeignExceptionInPlacePassesToTheCaller) {
  moravanetest::FreeThreaded freeThreaded;
  Probe probe;
  EXPECT_THROW(probe.Run([](LONG*) { throw std::runtime_error("passes"); }), std::runtime_error);
}

TEST(Dispatch, UncheckedCallsNeverThrowLinkError) {
  Probe probe;
  EXPECT_NO_THROW(probe.RunUnchecked([](LONG*) { throw moravane::LinkError(E_FAIL); }));
  EXPECT_NO_THROW(probe.RunUnchecked([](LONG*) { throw 1L; }));
  moravanetest::FreeThreaded freeThreaded;
  EXPECT_NO_THROW(probe.RunUnchecked([](LONG*) { throw moravane::LinkError(E_FAIL); }));
}

// --- lifetime of the deferred call ------------------------------------------------

struct DeletionLog {
  unsigned long communication = 0;
  std::atomic<bool> callerReleased{false};
  std::atomic<int> deletedOnCommunicationThread{0};
  std::atomic<bool> releasedBeforeDeletion{false};
};

// Bound by value into the call; the copy inside the deferred call dies when
// the call is deleted. On the communication thread it waits (bounded) for
// the caller to report that it was released: had the call been deleted
// before the caller was let go, the caller could not report it.
struct Witness {
  DeletionLog* log;
  ~Witness() {
    if (GetCurrentThreadID() != log->communication) return;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!log->callerReleased.load() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100us);
    }
    log->releasedBeforeDeletion = log->callerReleased.load();
    ++log->deletedOnCommunicationThread;
  }
};

class WitnessProbe : public Probe {
 public:
  LONG Call(const Witness& witness) {
    LONG result = 0;
    moravane::WideString errorText;
    moravane::detail::DispatchCall(boost::bind(&WitnessProbe::CallExecutor, this, witness, &result), errorText);
    return result;
  }
  std::atomic<int> runs{0};

 protected:
  void CallExecutor(const Witness&, LONG* result) { *result = ++runs; }
};

TEST(Dispatch, DeferredCallIsRunOnceAndDeletedOnTheCommunicationThreadAfterTheCallerIsReleased) {
  DeletionLog log;
  log.communication = CommunicationThreadId();
  WitnessProbe probe;
  EXPECT_EQ(probe.Call(Witness{&log}), 1);
  log.callerReleased = true;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (log.deletedOnCommunicationThread.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(100us);
  }
  EXPECT_EQ(log.deletedOnCommunicationThread.load(), 1);
  EXPECT_TRUE(log.releasedBeforeDeletion.load());
  EXPECT_EQ(probe.runs.load(), 1);
}

}  // namespace
