// The communication thread and the idle lock through which calls reach it.
#include "Probe.h"
#include "support/LiveBstrCheck.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

using kelvex::threads::GetCurrentThreadID;
using moravane::CommunicationThread;
using moravane::detail::Executor;
using moravane::detail::IdleLock;
using moravane::detail::idlelockclient::MoraVaneIdleLock;

// The death-test child re-runs only this test, in a fresh process where
// nothing has started the communication thread yet.
TEST(IdleLockDeathTest, CurrentBeforeInstallRaisesTheStopSignal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        try {
          IdleLock::Current();
        } catch (int signal) {
          std::exit(signal == -1 ? 0 : 2);
        }
        std::exit(3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(CommunicationThread, InstanceIsReadyWhenItReturns) {
  CommunicationThread* thread = CommunicationThread::Instance();
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(thread->GetThreadId(), 0u);
  EXPECT_NE(thread->GetThreadId(), GetCurrentThreadID());
  EXPECT_NO_THROW(IdleLock::Current());
  EXPECT_EQ(CommunicationThread::Instance(), thread);
}

TEST(CommunicationThread, FirstUseFromManyThreadsCreatesOneThread) {
  std::vector<std::thread> threads;
  std::vector<CommunicationThread*> seen(6);
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] { seen[t] = CommunicationThread::Instance(); });
  }
  for (std::thread& thread : threads) thread.join();
  for (CommunicationThread* instance : seen) {
    EXPECT_EQ(instance, seen.front());
    EXPECT_NE(instance->GetThreadId(), 0u);
  }
}

TEST(CommunicationThread, HasJoinedTheMultithreadedApartment) {
  moravanetest::Probe probe;
  HRESULT again = E_FAIL;
  probe.Run([&](LONG*) {
    again = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(again)) ::CoUninitialize();
  });
  EXPECT_EQ(again, S_FALSE) << "the thread had not initialised COM as multithreaded";
}

TEST(IdleLock, InstallKeepsTheFirstLock) {
  CommunicationThread::Instance();
  IdleLock* installed = IdleLock::Current();
  auto other = std::make_unique<MoraVaneIdleLock>();
  IdleLock::Install(other.get());
  EXPECT_EQ(IdleLock::Current(), installed);
}

class CountingExecutor : public Executor {
 public:
  explicit CountingExecutor(int* runs) : m_runs(runs) {}
  void Execute() override { ++*m_runs; }

 private:
  int* m_runs;
};

// A stopped idle lock refuses before the hand-over: the call is not run and
// stays the caller's to free.
TEST(IdleLock, StoppedLockRaisesTheStopSignalAndLeavesTheCallToTheCaller) {
  MoraVaneIdleLock lock;
  lock.StopAllExecution();
  int runs = 0;
  std::unique_ptr<Executor> executor(new CountingExecutor(&runs));
  try {
    lock.Submit(executor.get());
    FAIL() << "no stop signal";
  } catch (int signal) {
    EXPECT_EQ(signal, -1);
  }
  lock.RunPending();  // nothing may be pending
  EXPECT_EQ(runs, 0);
}

TEST(IdleLock, RunPendingWithNothingPendingReturns) {
  MoraVaneIdleLock lock;
  EXPECT_NO_THROW(lock.RunPending());
}

}  // namespace
