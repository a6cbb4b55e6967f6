#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Sleep.h"

namespace {

TEST(ManualResetEvent, StaysSignalledUntilReset) {
  TManualResetEvent event;
  EXPECT_EQ(event.Wait(0), TWaitResult::Timeout);
  EXPECT_EQ(event.Wait(20), TWaitResult::Timeout);
  event.Set();
  EXPECT_EQ(event.Wait(0), TWaitResult::Signaled);
  EXPECT_EQ(event.Wait(20), TWaitResult::Signaled);  // a wait does not clear it
  event.Set();
  event.Reset();
  EXPECT_EQ(event.Wait(0), TWaitResult::Timeout);
  event.Reset();
  EXPECT_EQ(event.Wait(1), TWaitResult::Timeout);
}

TEST(ManualResetEvent, SetWakesEveryWaiter) {
  TManualResetEvent event;
  TManualResetEvent started;
  std::atomic<int> waiting{0};
  std::vector<TWaitResult> results(3, TWaitResult::Failed);
  std::vector<std::thread> waiters;
  for (std::size_t i = 0; i < results.size(); ++i) {
    waiters.emplace_back([&, i] {
      if (++waiting == 3) started.Set();
      // Long enough never to time out on a slow machine; Set must end it.
      results[i] = event.Wait(60000);
    });
  }
  ASSERT_EQ(started.Wait(60000), TWaitResult::Signaled);
  SleepMs(50);  // most likely every waiter is blocked by now; correct either way
  event.Set();
  for (auto& t : waiters) t.join();
  for (TWaitResult r : results) EXPECT_EQ(r, TWaitResult::Signaled);
}

// The watcher reads the event's clock to decide whether a timed-out wait
// ended a whole period: the clock must count the waits' milliseconds, give
// or take one tick of the system's (16 ms on Windows).
TEST(ManualResetEvent, ATimedOutWaitLetsItsMillisecondsPassOnTheEventsClock) {
  TManualResetEvent event;
  const int64_t before = event.NowMs();
  ASSERT_EQ(event.Wait(100), TWaitResult::Timeout);
  const int64_t passed = event.NowMs() - before;
  EXPECT_GE(passed, 100 - 20);
  EXPECT_LT(passed, 100 * 1000) << "not milliseconds";
}

}  // namespace
