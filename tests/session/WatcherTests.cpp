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
// the test. A wait left unanswered for SafetyLimit times out and is counted,
// so a faulty watcher fails a test instead of hanging it.
class TScriptedEvent : public TWaitableEvent {
 public:
  static constexpr auto SafetyLimit = 30s;

  void Set() override {
    std::lock_guard<std::mutex> lock(M);
    Signaled = true;
    Changed.notify_all();
  }
  void Reset() override {
    std::lock_guard<std::mutex> lock(M);
    Signaled = false;
  }
  TWaitResult Wait(uint32_t) override {
    std::unique_lock<std::mutex> lock(M);
    ++Waits;
    Waiting = true;
    Changed.notify_all();
    const bool answered = Changed.wait_for(lock, SafetyLimit, [this] { return Signaled || !Answers.empty(); });
    Waiting = false;
    if (!answered) {
      ++Unanswered;
      return TWaitResult::Timeout;
    }
    if (Signaled) return TWaitResult::Signaled;
    const TWaitResult result = Answers.front();
    Answers.pop_front();
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
  std::deque<TWaitResult> Answers;
};

struct TSilenceLog {
  std::atomic<int> Calls{0};
  std::atomic<TMSWatcher*> Sender{nullptr};
  bool Throw = false;
  static void Handler(void* context, TMSWatcher* sender) {
    auto* self = static_cast<TSilenceLog*>(context);
    self->Sender.store(sender);
    ++self->Calls;
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

TEST_F(Watcher, APokeEndsTheSilentPeriodAndTimeOutsWithoutAHandlerDoNothing) {
  TProbeDecoder& d = Make();  // last mark count 0: 100 marks are far ahead
  Marks.SetCount(100);
  TMSWatcher w(&d, 5000, 5, &Event);
  ASSERT_TRUE(Event.Answer(TWaitResult::Timeout)) << "no handler set yet";
  w.SetOnSilence(&TSilenceLog::Handler, &Log);
  for (int i = 0; i < 3; ++i) {
    const int waits = Event.WaitCount();
    w.Poke();
    ASSERT_TRUE(Event.AwaitWaits(waits + 1)) << "a poke must wake the watcher";
  }
  EXPECT_EQ(Log.Calls.load(), 0) << "a wake-up is no silence";
  ASSERT_TRUE(Event.Answer(TWaitResult::Timeout)) << "the watcher kept its wake-up signalled";
  EXPECT_EQ(Log.Calls.load(), 1) << "silence once the pokes stop";
  EXPECT_EQ(Event.UnansweredCount(), 0);
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
