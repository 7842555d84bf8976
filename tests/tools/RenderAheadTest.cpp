#include "RenderAhead.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using cli::RenderAhead;

TEST(RenderAhead, RunsEveryTaskInOrderOnOneThreadOfItsOwn) {
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  {
    RenderAhead ahead(true);
    ahead.Wait();  // nothing started yet: returns at once
    for (int k = 0; k < 50; ++k) {
      ahead.Start([&, k] {
        order.push_back(k);
        threads.push_back(std::this_thread::get_id());
      });
      ahead.Wait();
    }
  }
  ASSERT_EQ(order.size(), 50u);
  for (int k = 0; k < 50; ++k) EXPECT_EQ(order[k], k);
  for (const std::thread::id& id : threads) EXPECT_EQ(id, threads.front());
  EXPECT_NE(threads.front(), std::this_thread::get_id());
}

TEST(RenderAhead, ThrowsATasksFailureAtItsWaitAndGoesOn) {
  for (const bool overlap : {true, false}) {
    SCOPED_TRACE(overlap ? "on its thread" : "on the caller's");
    RenderAhead ahead(overlap);
    ahead.Start([] { throw std::runtime_error("the render failed"); });
    EXPECT_THROW(ahead.Wait(), std::runtime_error);
    bool ran = false;
    ahead.Start([&] { ran = true; });
    ahead.Wait();  // the failure was thrown once, not again
    EXPECT_TRUE(ran);
  }
}

TEST(RenderAhead, LetsTheLastTaskFinishBeforeItGoes) {
  std::atomic<bool> finished{false};
  {
    RenderAhead ahead(true);
    ahead.Start([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      finished = true;
    });
  }  // as when an error unwinds past a render in flight
  EXPECT_TRUE(finished);
}

TEST(RenderAhead, WithoutOverlapRunsATaskOnTheCallersThreadWhenWaitedFor) {
  std::thread::id ranOn;
  bool forgotten = false;
  {
    RenderAhead ahead(false);
    ahead.Start([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, std::thread::id());  // not before the wait
    ahead.Wait();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    ahead.Start([&] { forgotten = true; });
  }
  EXPECT_FALSE(forgotten);  // never waited for: never run
}

}  // namespace
