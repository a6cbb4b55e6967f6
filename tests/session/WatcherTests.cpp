// The watcher thread: silence is reported only while marks keep arriving and
// no test frame does; it ends at once when told to, ends on a failing handler
// or a failed wait, and a decoder keeps exactly one while a test runs.
//
// The watcher waits on a scripted event: the test decides when a wait times
// out, so its periods pass without real waiting.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/session/SessionTestSupport.h"

using namespace session_test;
using namespace std::chrono_literals;

namespace {

template <class Pred>
bool WaitFor(Pred done, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A manual-reset event whose waits end only when signalled or answered by
// the test, on a clock that moves only when the test moves it or a wait
// times out (to that wait's deadline). A wait left unanswered for
// SafetyLimit times out and is counted, so a faulty watcher fails a test
// instead of hanging it.
class TScriptedEvent : public TWaitableEvent {
 public:
  static constexpr auto SafetyLimit = 30s;

  int64_t NowMs() override {
    std::lock_guard<std::mutex> lock(M);
    return Now;
  }
  void Set() override {
    std::lock_guard<std::mutex> lock(M);
    Signaled = true;
    Changed.notify_all();
  }
  void Reset() override {
    std::lock_guard<std::mutex> lock(M);
    Signaled = false;
  }
  TWaitResult Wait(uint32_t ms) override {
    std::unique_lock<std::mutex> lock(M);
    ++Waits;
    Waiting = true;
    Deadline = Now + ms;
    Changed.notify_all();
    const bool answered = Changed.wait_for(lock, SafetyLimit, [this] { return Signaled || !Answers.empty(); });
    Waiting = false;
    if (!answered) ++Unanswered;
    if (Signaled) return TWaitResult::Signaled;
    const TWaitResult result = answered ? Answers.front() : TWaitResult::Timeout;
    if (answered) Answers.pop_front();
    if (result == TWaitResult::Timeout) Now = std::max(Now, Deadline);
    return result;
  }

  // Ends the watcher's next unsignalled wait with `result`; with
  // `thenAwaitNext`, returns once the watcher has handled it and waits
  // again. False when that did not happen within SafetyLimit.
  bool Answer(TWaitResult result, bool thenAwaitNext = true) {
    std::unique_lock<std::mutex> lock(M);
    if (!Changed.wait_for(lock, SafetyLimit, [this] { return Waiting && !Signaled; })) return false;
    const int before = Waits;
    Answers.push_back(result);
    Changed.notify_all();
    return !thenAwaitNext || Changed.wait_for(lock, SafetyLimit, [&] { return Waits > before && Waiting; });
  }
  // Returns once the watcher has entered its n-th wait.
  bool AwaitWaits(int n) {
    std::unique_lock<std::mutex> lock(M);
    return Changed.wait_for(lock, SafetyLimit, [&] { return Waits >= n && Waiting; });
  }
  // When the wait the watcher is in (or its last one) times out.
  int64_t WaitDeadline() {
    std::lock_guard<std::mutex> lock(M);
    return Deadline;
  }
  // Time passing while the watcher waits, e.g. up to a frame's arrival.
  void AdvanceTo(int64_t ms) {
    std::lock_guard<std::mutex> lock(M);
    Now = std::max(Now, ms);
  }
  int WaitCount() {
    std::lock_guard<std::mutex> lock(M);
    return Waits;
  }
  int UnansweredCount() {
    std::lock_guard<std::mutex> lock(M);
    return Unanswered;
  }

 private:
  std::mutex M;
  std::condition_variable Changed;
  bool Signaled = false;
  bool Waiting = false;
  int Waits = 0;
  int Unanswered = 0;
  int64_t Now = 0;
  int64_t Deadline = 0;
  std::deque<TWaitResult> Answers;
};

struct TSilenceLog {
  TScriptedEvent* Clock = nullptr;
  std::atomic<int> Calls{0};
  std::atomic<TMSWatcher*> Sender{nullptr};
  std::vector<int64_t> Times;  // the clock at each call, when there is one
  bool Throw = false;
  static void Handler(void* context, TMSWatcher* sender) {
    auto* self = static_cast<TSilenceLog*>(context);
    self->Sender.store(sender);
    ++self->Calls;
    if (self->Clock != nullptr) self->Times.push_back(self->Clock->NowMs());
    if (self->Throw) throw std::runtime_error("handler failed");
  }
};

class Watcher : public SessionFixture {
 protected:
  // A decoder whose last accepted position came with mark counter `marks`.
  TProbeDecoder& MakeAtMark(int32_t marks) {
    TProbeDecoder& d = Make();
    Host.Grow(1);
    Host.InstallIn(d);
    Marks.SetCount(1);
    Marks.Latest = {1.0, 2.0, Day + 0.1};
    d.NewPosition(Marks.Latest);  // the first mark
    Marks.SetCount(marks);
    Marks.Latest = {3.0, 4.0, Day + 0.2};
    d.NewPosition(Marks.Latest);
    EXPECT_EQ(d.CurrentLastMarkCount(), marks);
    return d;
  }
  TScriptedEvent Event;  // outlives every watcher of a test
  TSilenceLog Log;
};

TEST_F(Watcher, ReportsEverySilentPeriodOnlyWhenTheMarksAreThresholdAhead) {
  TProbeDecoder& d = MakeAtMark(10);
  Marks.SetCount(14);
  TMSWatcher w(&d, 5000, 5, &Event);
  w.SetOnSilence(&TSilenceLog::Handler, &Log);
  ASSERT_TRUE(Event.Answer(TWaitResult::Timeout));
  EXPECT_EQ(Log.Calls.load(), 0) << "4 marks ahead is not enough";
  Marks.SetCount(15);
  ASSERT_TRUE(Event.Answer(TWaitResult::Timeout));
  EXPECT_EQ(Log.Calls.load(), 1);
  ASSERT_TRUE(Event.Answer(TWaitResult::Timeout));
  EXPECT_EQ(Log.Calls.load(), 2) << "reported again after the next silent period";
  EXPECT_EQ(Log.Sender.load(), &w);
}

// Frames arrive at the given times (ms from the watcher's start) while it
// waits, and each wait is left to time out at its deadline, up to `Until`.
// A poke wakes no one, so the watcher waits once more per time-out only.
TEST_F(Watcher, ReportsSilenceAPeriodAfterTheLastPokeAndEveryPeriodAfter) {
  struct {
    const char* Name;
    int32_t Marks;  // the decoder's last mark count is 0
    bool Handler;
    std::vector<int64_t> Pokes;
    int64_t Until;
    std::vector<int64_t> Calls;
  } const cases[] = {
      {"silent from the start", 5, true, {}, 15000, {5000, 10000, 15000}},
      {"4 marks ahead is not enough", 4, true, {}, 15000, {}},
      {"no handler: time-outs do nothing", 100, false, {}, 15000, {}},
      {"poked every 4 s, then silent", 5, true, {4000, 8000, 12000, 16000, 20000}, 35000, {25000, 30000, 35000}},
      {"poked 1 ms before each period ends", 5, true, {4999, 9998, 14997}, 24997, {19997, 24997}},
      {"a poke after a report starts a new period", 5, true, {7000}, 17000, {5000, 12000, 17000}},
      {"many pokes in one millisecond", 5, true, std::vector<int64_t>(50, 3000), 13000, {8000, 13000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TProbeDecoder& d = Make();
    Marks.SetCount(c.Marks);
    TScriptedEvent event;
    TSilenceLog log;
    log.Clock = &event;
    TMSWatcher w(&d, 5000, 5, &event);
    if (c.Handler) w.SetOnSilence(&TSilenceLog::Handler, &log);
    ASSERT_TRUE(event.AwaitWaits(1));
    std::size_t poked = 0;
    int timeOuts = 0;
    for (int step = 0; step < 200 && event.WaitDeadline() <= c.Until; ++step) {
      if (poked < c.Pokes.size() && c.Pokes[poked] < event.WaitDeadline()) {
        event.AdvanceTo(c.Pokes[poked++]);
        w.Poke();
      } else {
        ASSERT_TRUE(event.Answer(TWaitResult::Timeout));
        ++timeOuts;
      }
    }
    EXPECT_EQ(event.WaitCount(), timeOuts + 1) << "a poke woke the watcher";
    w.StopWatcher();
    w.Join();
    EXPECT_EQ(log.Times, c.Calls);
    EXPECT_EQ(event.UnansweredCount(), 0);
  }
}

TEST_F(Watcher, EndsAtOnceWhenToldWithoutReportingSilence) {
  TProbeDecoder& d = Make();
  Marks.SetCount(100);
  TMSWatcher w(&d, 5000, 5, &Event);
  w.SetOnSilence(&TSilenceLog::Handler, &Log);
  ASSERT_TRUE(Event.AwaitWaits(1));
  w.StopWatcher();
  w.Join();
  EXPECT_EQ(Event.UnansweredCount(), 0) << "it waited for a time-out instead of ending";
  EXPECT_EQ(Log.Calls.load(), 0);
}

TEST_F(Watcher, AFailingHandlerOrAFailedWaitEndsTheWatcher) {
  struct {
    const char* Name;
    TWaitResult Result;
    int Calls;
  } const cases[] = {{"handler throws", TWaitResult::Timeout, 1}, {"wait fails", TWaitResult::Failed, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TProbeDecoder& d = Make();
    Marks.SetCount(5);  // right after start, 5 marks are enough
    TScriptedEvent event;
    TSilenceLog log;
    log.Throw = true;
    TMSWatcher w(&d, 5000, 5, &event);
    w.SetOnSilence(&TSilenceLog::Handler, &log);
    ASSERT_TRUE(event.Answer(c.Result, false));
    w.Join();  // ended by itself; released once by its owner
    EXPECT_EQ(log.Calls.load(), c.Calls);
    EXPECT_EQ(event.WaitCount(), 1) << "a running watcher would have waited again";
    EXPECT_EQ(event.UnansweredCount(), 0);
  }
}

// Threads of this process, where the system lists them (not under wine,
// whose own threads come and go).
int ThreadCount() {
#if !defined(__linux__)
  return -1;
#endif
  const std::filesystem::path tasks("/proc/self/task");
  std::error_code ec;
  if (!std::filesystem::is_directory(tasks, ec)) return -1;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator(tasks, ec); !ec && it != decltype(it)(); it.increment(ec)) ++n;
  return n;
}

// The thread count once it has stopped changing: an emulator (qemu) lists
// a joined thread for a moment after it has ended, and some runtimes
// (ThreadSanitizer's) start a helper thread of their own with the first one.
int SettledThreadCount() {
  int last = ThreadCount();
  auto stableSince = std::chrono::steady_clock::now();
  const auto limit = stableSince + 3s;
  while (std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(10ms);
    const int now = ThreadCount();
    if (now != last) {
      last = now;
      stableSince = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - stableSince >= 200ms) {
      break;
    }
  }
  return last;
}

TEST_F(Watcher, ADecoderRunsOneWatcherPerTestAndJoinsIt) {
  if (ThreadCount() < 0) GTEST_SKIP() << "no thread list on this system";
  std::thread([] {}).join();
  const int before = SettledThreadCount();
  auto threadsAre = [](int n) { return WaitFor([n] { return ThreadCount() == n; }, 3000ms); };

  TProbeDecoder& d = Make();
  d.StartTest();
  d.StartTest();
  EXPECT_TRUE(threadsAre(before + 1)) << "one watcher after two starts";
  d.StopTest();
  EXPECT_TRUE(threadsAre(before)) << "the stop joins the watcher";
  d.ResetAndStartTest();
  EXPECT_TRUE(threadsAre(before + 1));
  D.reset();  // destroyed mid-test
  EXPECT_TRUE(threadsAre(before)) << "destruction joins the watcher";

  auto unmarked = MakeDecoder(&Port, nullptr, &Clock);
  unmarked->StartTest();
  EXPECT_EQ(SettledThreadCount(), before) << "no mark source, no watcher";
}

}  // namespace
