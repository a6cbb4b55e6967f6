// The watcher thread: silence is reported only while marks keep arriving and
// no test frame does; it ends promptly when told to, ends on a failing
// handler, and a decoder keeps exactly one while a test runs.
//
// These tests wait on a real thread. The waits are short watcher periods and
// every bound is generous: only "it happened" and "it did not happen within
// several periods" are asserted.
#include <atomic>
#include <chrono>
#include <filesystem>
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
  TSilenceLog Log;
};

TEST_F(Watcher, ReportsSilenceOnlyWhenTheMarksAreThresholdAhead) {
  TProbeDecoder& d = MakeAtMark(10);
  Marks.SetCount(14);
  TMSWatcher w(&d, 50, 5);
  w.SetOnSilence(&TSilenceLog::Handler, &Log);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(Log.Calls.load(), 0) << "4 marks ahead is not enough";
  Marks.SetCount(15);
  EXPECT_TRUE(WaitFor([&] { return Log.Calls.load() >= 2; })) << "reported every silent period";
  EXPECT_EQ(Log.Sender.load(), &w);
}

TEST_F(Watcher, StaysQuietWhilePokedInTime) {
  TProbeDecoder& d = Make();
  Marks.SetCount(100);
  TMSWatcher w(&d, 250, 5);
  w.SetOnSilence(&TSilenceLog::Handler, &Log);
  const auto end = std::chrono::steady_clock::now() + 1000ms;
  while (std::chrono::steady_clock::now() < end) {
    w.Poke();
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(Log.Calls.load(), 0);
  EXPECT_TRUE(WaitFor([&] { return Log.Calls.load() >= 1; })) << "silence once the pokes stop";
}

TEST_F(Watcher, EndsWithinOneWakeUpWhenTold) {
  TProbeDecoder& d = Make();
  TMSWatcher w(&d);  // the decoder's own period of 5 s
  std::this_thread::sleep_for(20ms);
  const auto start = std::chrono::steady_clock::now();
  w.StopWatcher();
  w.Join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
}

TEST_F(Watcher, AFailingHandlerEndsTheWatcher) {
  TProbeDecoder& d = Make();
  Marks.SetCount(5);
  Log.Throw = true;
  TMSWatcher w(&d, 20, 5);
  w.SetOnSilence(&TSilenceLog::Handler, &Log);
  ASSERT_TRUE(WaitFor([&] { return Log.Calls.load() >= 1; }));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(Log.Calls.load(), 1) << "a running watcher would have reported again";
  w.Join();  // ended by itself; released once by its owner
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
