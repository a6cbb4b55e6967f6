// The session core with the real plug-in: the driver, the record store, the
// mark source and the event queue, fed by a script of handset lines and fixes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "refhost/core/PluginLoader.h"
#include "refhost/core/PluginLoaderHooks.h"
#include "refhost/core/SessionDriver.h"
#include "tests/common/SharedMemoryTest.h"

namespace {

// Waits until another thread has made `done` true; a fault shows as a
// failure after a generous while rather than as a hang.
template <typename TDone>
bool Eventually(TDone done) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::yield();
  }
  return true;
}

constexpr TDays Second = 1.0 / 86400;
constexpr TDays T0 = 46000.5;  // 2025-12-09 12:00

// A port whose writes are kept; the script arrives through the queue.
class TScriptPort : public TReplayPort {
 public:
  void Write(const void* data, int32_t count) override {
    Writes.emplace_back(static_cast<const char*>(data), static_cast<size_t>(count));
  }
  std::vector<std::string> Writes;
};

// What the writers would see.
class TSinkLog : public TRecordSink {
 public:
  void OnFix(const TGpsFix&) override { Order += 'F'; }
  void OnRecord(const THostRecord& r) override {
    Records.push_back(r);
    Order += 'r';
  }
  void OnGap(const TSessionGap& g) override {
    Gaps.push_back(g);
    Order += 'g';
  }
  void OnFinish(const TSessionCounters& c) override { Finished.push_back(c); }
  std::vector<THostRecord> Records;
  std::vector<TSessionGap> Gaps;
  std::vector<TSessionCounters> Finished;
  std::string Order;  // F fix, r record, g gap, as the writers see them
};

// What a capture would see, one letter per event.
class TTapLog : public TCaptureTap {
 public:
  void OnSettings(const TSessionSettings&) override { Taps += "S"; }
  void OnChunk(const TChunk&) override { Taps += "c"; }
  void OnFix(const TGpsFix&) override { Taps += "f"; }
  void OnLineLost(TDays, const std::string&) override { Taps += "L"; }
  void OnLineRegained(TDays) override { Taps += "R"; }
  void OnStop() override { Taps += "."; }
  std::string Taps;
};

// One script entry per event: a line at second `At`, a fix, or a line event.
struct TStep {
  TSessionEventKind Kind;
  double At;          // seconds after T0
  std::string Text;   // the handset line(s), or why the line was lost
  double Lon = 0, Lat = 0;
};

TStep Line(double at, std::string text) { return {TSessionEventKind::Chunk, at, std::move(text) + "\r\n"}; }
TStep Fix(double at, double lon, double lat) { return {TSessionEventKind::Fix, at, {}, lon, lat}; }
TStep Lost(double at) { return {TSessionEventKind::LineLost, at, "cable pulled"}; }
TStep Back(double at) { return {TSessionEventKind::LineRegained, at, {}}; }
TStep GpsGone(double at) { return {TSessionEventKind::GpsEnded, at, "gpsd went away"}; }

class SessionCore : public SharedMemoryTest {
 protected:
  static void SetUpTestSuite() { Plugin = std::make_unique<TLoadedPlugin>(LoadPlugin(DefaultPluginPath())); }
  static void TearDownTestSuite() { Plugin.reset(); }

  // Runs the script through a driver; the store and driver are gone on return.
  TSessionEnd Run(const std::vector<TStep>& script, TSessionOptions options, bool stopFirst = false,
                  bool endOfInput = true) {
    TSessionEventQueue queue;
    for (const TStep& s : script) {
      const TDays t = T0 + s.At * Second;
      if (s.Kind == TSessionEventKind::Chunk)
        queue.Push(TSessionEvent::OfChunk({t, std::vector<uint8_t>(s.Text.begin(), s.Text.end())}));
      if (s.Kind == TSessionEventKind::Fix) queue.Push(TSessionEvent::OfFix({t, s.Lon, s.Lat}));
      if (s.Kind == TSessionEventKind::LineLost) queue.Push(TSessionEvent::LineLost(t, s.Text));
      if (s.Kind == TSessionEventKind::LineRegained) queue.Push(TSessionEvent::LineRegained(t));
      if (s.Kind == TSessionEventKind::GpsEnded) queue.Push(TSessionEvent::GpsEnded(s.Text));
    }
    if (endOfInput) queue.Push(TSessionEvent::Of(TSessionEventKind::EndOfInput));
    if (stopFirst) queue.RequestStop();
    TRecordStore store;
    store.AddSink(&Log);
    TSessionDriver driver(*Plugin, Port, queue, store, options);
    driver.SetCaptureTap(&Tap);
    const TSessionEnd end = driver.Run();
    Counters = driver.Counters();
    EndMessage = driver.EndMessage();
    return end;
  }

  static TSessionOptions Replay(bool reconnect = true) {
    TSessionOptions o;
    o.Replay = true;
    o.ReplayFileName = "script";
    o.Reconnect = reconnect;
    return o;
  }

  void ExpectEachRecordOnceInOrder(size_t count) {
    ASSERT_EQ(Log.Records.size(), count);
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(Log.Records[i].Index, static_cast<int64_t>(i));
      if (i > 0) {
        EXPECT_GE(Log.Records[i].TimeStamp2, Log.Records[i - 1].TimeStamp2) << i;
      }
    }
    ASSERT_EQ(Log.Finished.size(), 1u);
    EXPECT_EQ(Log.Finished[0].FramesDecoded, static_cast<int64_t>(count));
  }

  static std::unique_ptr<TLoadedPlugin> Plugin;
  TScriptPort Port;
  TSinkLog Log;
  TTapLog Tap;
  TSessionCounters Counters;
  std::string EndMessage;
};
std::unique_ptr<TLoadedPlugin> SessionCore::Plugin;

const std::string Idle = "IDLE,62,23,41,35,41,60:12:30";
const std::string Ded = "DED,62,23,38,36,2,1,3,5";

TEST_F(SessionCore, LoadsAndIdentifiesThePlugin) {
  EXPECT_EQ(Plugin->Identity().Name, "Orvik7316");
  EXPECT_EQ(Plugin->Identity().Type, 1);
  EXPECT_EQ(Plugin->Identity().Frequency, 3);
}

TEST(PluginLoader, RefusalsSayWhatHappened) {
  const std::filesystem::path folder = std::filesystem::path(DefaultPluginPath()).parent_path();
  const std::string text = (std::filesystem::temp_directory_path() / "refhost_not_a_plugin.so").string();
  std::ofstream(text) << "not a library\n";
  // Library names as this system spells them (libX.so, X.dll).
  const std::string sharedMM = (folder / plugin_loader_detail::LibraryFileName("SharedMM")).string();
  const struct {
    std::string Path;
    const char* Says;
  } cases[] = {{(folder / plugin_loader_detail::LibraryFileName("NoSuchPlugin")).string(), "does not exist"},
               {text, "could not be loaded"},
               {sharedMM, "does not export GetDeviceName"}};
  for (const auto& c : cases) {
    try {
      LoadPlugin(c.Path);
      ADD_FAILURE() << c.Path << " loaded";
    } catch (const EPluginLoad& e) {
      EXPECT_NE(std::string(e.what()).find(c.Path), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.Says), std::string::npos) << e.what();
    }
  }
  std::filesystem::remove(text);
}

TEST_F(SessionCore, LiveHandshakeStartsTheTestAndStampsBetweenFixes) {
  const std::vector<TStep> script{
      Line(0, "CONN,123\\2"),  Line(1, Idle),  Line(2, "IDLE,99999"), Line(2, Ded), Line(3, Idle),
      Fix(4, 10, 50),          Line(5, Idle),  Line(6, Idle),         Line(7, Ded), Line(8, Idle),
      Line(9, Idle),           Fix(10, 11, 51), Line(11, Idle),       Line(12, Ded)};
  TSessionOptions live;
  live.LogFile = (std::filesystem::temp_directory_path() / "refhost_session_raw.log").string();
  EXPECT_EQ(Run(script, live), TSessionEnd::Done);
  std::ifstream rawLog(live.LogFile);
  std::string logLine;
  int logged = 0;
  while (std::getline(rawLog, logLine)) ++logged;
  EXPECT_EQ(logged, 10) << "the raw log holds the decoded lines";
  rawLog.close();
  std::filesystem::remove(live.LogFile);

  ASSERT_GE(Port.Writes.size(), 16u);
  EXPECT_EQ(Port.Writes[0], "123\\2\r\n");
  EXPECT_EQ(Port.Writes[1], "\\C") << "start-up commands follow the handshake";
  ExpectEachRecordOnceInOrder(10);
  EXPECT_EQ(Counters.FramesRejected, 1);
  EXPECT_EQ(Counters.Fixes, 2);
  // Records 0-2 waited for the first fix; 3-7 lie between the two fixes.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Log.Records[i].Method, TPositionMethod::FirstFix);
    EXPECT_DOUBLE_EQ(Log.Records[i].Longitude, 10);
    EXPECT_DOUBLE_EQ(Log.Records[i].Latitude, 50);
  }
  for (int i = 3; i < 8; ++i) {
    const double h = (i - 3) / 4.0;
    EXPECT_EQ(Log.Records[i].Method, TPositionMethod::Interpolated);
    EXPECT_DOUBLE_EQ(Log.Records[i].Longitude, 10 + h) << i;
    EXPECT_DOUBLE_EQ(Log.Records[i].Latitude, 50 + h) << i;
  }
  for (int i = 8; i < 10; ++i) EXPECT_EQ(Log.Records[i].Method, TPositionMethod::None);
  // Each record carries the host time of the chunk that brought it.
  EXPECT_DOUBLE_EQ(Log.Records[0].TimeStamp1, T0 + 1 * Second);
  EXPECT_DOUBLE_EQ(Log.Records[9].TimeStamp2, T0 + 12 * Second);
  EXPECT_FALSE(Log.Records[0].Dedicated);
  EXPECT_TRUE(Log.Records[1].Dedicated);
}

TEST_F(SessionCore, SilentHandsetEndsWithNoAnswer) {
  TSessionOptions live;
  live.ConnectLimitSeconds = 0.2;
  EXPECT_EQ(Run({}, live, false, false), TSessionEnd::NoAnswer);
  EXPECT_NE(EndMessage.find("did not answer"), std::string::npos) << EndMessage;
  ASSERT_EQ(Port.Writes.size(), 1u) << "only the connect request goes out";
  EXPECT_TRUE(Log.Records.empty());
}

TEST_F(SessionCore, RegainedLineRestartsTheTestWithOneGapAndUnknownCallState) {
  const std::vector<TStep> script{
      Line(1, "L3,8301"), Line(2, "L3,8307"),  Line(3, Ded),      Fix(3.5, 1, 2),      Lost(4),
      Back(9),            Line(10, Ded),       Line(11, "L3,030F"), Line(12, Ded),    Line(13, "L3,832D"),
      Fix(13.5, 3, 4),    Line(14, Idle)};
  EXPECT_EQ(Run(script, Replay()), TSessionEnd::Done);
  ExpectEachRecordOnceInOrder(8);
  const std::vector<TCallStateView> states{TCallStateView::Alerting,  TCallStateView::Connected,
                                           TCallStateView::Connected, TCallStateView::Unknown,
                                           TCallStateView::Connected, TCallStateView::Connected,
                                           TCallStateView::Released,  TCallStateView::Released};
  for (size_t i = 0; i < states.size(); ++i) EXPECT_EQ(Log.Records[i].CallState, states[i]) << i;
  // The restarted test takes its first fix afresh: no interpolation across the gap.
  for (size_t i = 3; i < 7; ++i) {
    EXPECT_EQ(Log.Records[i].Method, TPositionMethod::FirstFix) << i;
    EXPECT_DOUBLE_EQ(Log.Records[i].Longitude, 3) << i;
  }
  ASSERT_EQ(Log.Gaps.size(), 1u);
  EXPECT_DOUBLE_EQ(Log.Gaps[0].From, T0 + 4 * Second);
  EXPECT_DOUBLE_EQ(Log.Gaps[0].To, T0 + 9 * Second);
  EXPECT_EQ(Log.Gaps[0].Why, "cable pulled");
  EXPECT_EQ(Counters.Gaps, 1);
  EXPECT_EQ(Counters.CallsDropped, 1);
  EXPECT_EQ(Tap.Taps, "ScccfLRccccfc.") << "the tap sees every event in processing order";
  EXPECT_TRUE(Port.Writes.empty()) << "a replay sends nothing";
}

// Every ending hands over every record decoded before it.
TEST_F(SessionCore, EveryEndingKeepsEveryRecord) {
  const struct {
    const char* Name;
    std::vector<TStep> Script;
    bool Reconnect, StopFirst, EndOfInput;
    TSessionEnd End;
    size_t Gaps;
  } cases[] = {
      {"lost, no reconnect", {Line(1, Idle), Line(2, Ded), Lost(3)}, false, false, false,
       TSessionEnd::LineDropped, 1},
      {"lost, reconnect given up", {Line(1, Idle), Lost(2), Line(3, Idle)}, true, false, true,
       TSessionEnd::LineDropped, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Log = TSinkLog();
    EXPECT_EQ(Run(c.Script, Replay(c.Reconnect), c.StopFirst, c.EndOfInput), c.End);
    size_t lines = 0;
    for (const TStep& s : c.Script) lines += s.Kind == TSessionEventKind::Chunk;
    ExpectEachRecordOnceInOrder(lines);
    EXPECT_EQ(Log.Gaps.size(), c.Gaps);
    EXPECT_FALSE(EndMessage.empty());
  }
}

// A stop does not wait for a backlog: the queued bytes go to the capture,
// undecoded and counted, so a replay decodes them later.
TEST_F(SessionCore, AStopSetsTheBacklogAsideForTheCapture) {
  EXPECT_EQ(Run({Line(1, Idle), Fix(2, 1, 2), Line(3, Ded)}, Replay(), true, false), TSessionEnd::StoppedByUser);
  EXPECT_TRUE(Log.Records.empty());
  EXPECT_EQ(Counters.BytesUndecoded, static_cast<int64_t>(Idle.size() + Ded.size() + 4));
  EXPECT_EQ(Counters.BytesReceived, Counters.BytesUndecoded);
  EXPECT_EQ(Tap.Taps, "Scfc.");
}

// Records reach the writers whatever the GPS does: at once without a GPS,
// after the fix that follows them while fixes come, at once again once the
// GPS has been quiet for the limit (host time) or has ended.
TEST_F(SessionCore, RecordsAreWrittenWhateverTheGpsDoes) {
  const struct {
    const char* Name;
    bool GpsConfigured;
    std::vector<TStep> Script;
    const char* Order;
    int64_t Outages;
  } cases[] = {
      {"no GPS: each record at once", false, {Line(1, Idle), Line(2, Idle), Fix(3, 1, 2)}, "rrF", 0},
      {"fixes: records wait for the next fix", true, {Fix(0, 1, 2), Line(1, Idle), Line(9, Idle), Fix(10, 1, 3)},
       "FFrr", 0},
      {"quiet past the limit, then fixes again", true,
       {Fix(0, 1, 2), Line(1, Idle), Line(12, Idle), Line(13, Idle), Fix(14, 1, 3), Line(15, Idle), Fix(16, 1, 4)},
       "FrrrFFr", 1},
      {"no first fix within the limit", true, {Line(1, Idle), Line(5, Idle), Line(12, Idle), Fix(13, 1, 2)},
       "rrrF", 1},
      {"the GPS ends", true, {Fix(0, 1, 2), Line(1, Idle), GpsGone(2), Line(3, Idle), Lost(4), Back(5)}, "Frrg",
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Log = TSinkLog();
    TSessionOptions options = Replay();
    options.GpsConfigured = c.GpsConfigured;
    options.GpsQuietSeconds = 10;
    std::vector<std::string> notices;
    options.Notice = [&](const std::string& text) { notices.push_back(text); };
    Run(c.Script, options);
    EXPECT_EQ(Log.Order, c.Order);
    EXPECT_EQ(Counters.GpsOutages, c.Outages);
    EXPECT_EQ(notices.empty(), c.Outages == 0) << "an outage is said to the user";
  }
}

// The handset's connect answer is not a frame: a replay, whose decoder is
// fed it in test mode, counts no more rejected lines than the live session.
TEST_F(SessionCore, TheConnectAnswerIsNotARejectedFrame) {
  Run({Line(0, "CONN,123\\2"), Line(1, Idle), Line(2, "NOT A FRAME")}, Replay());
  EXPECT_EQ(Counters.FramesDecoded, 1);
  EXPECT_EQ(Counters.FramesRejected, 1);
}

// With no fix ever coming, the oldest record goes out without a position
// rather than the store growing without bound.
class RecordStore : public SharedMemoryTest {};
TEST_F(RecordStore, HandsOverTheOldestBeyondItsHoldLimit) {
  TSinkLog log;
  {
    TRecordStore store(DescribeBasics, 2);
    store.AddSink(&log);
    for (const uint16_t id : {0x301, 0x000, 0x307}) {
      TTestDataRecord* const r = NewTestData(tdkGSM);
      r->MessageWord = id;
      store.Add(*r);
      FreeTestData(r);
    }
    ASSERT_EQ(log.Records.size(), 1u);
    EXPECT_EQ(log.Records[0].Method, TPositionMethod::None);
    EXPECT_EQ(log.Records[0].MessageId, 0x301);
    EXPECT_EQ(log.Records[0].CallState, TCallStateView::Alerting);
    EXPECT_EQ(store.AtCallback().Code(store.AtCallback().Context, 0, 0), nullptr);
    EXPECT_NE(store.AtCallback().Code(store.AtCallback().Context, 0, 2), nullptr);
    EXPECT_EQ(store.CountCallback().Code(store.CountCallback().Context, 0), 3);
  }  // the two held records are released with the store
}

TEST(SessionEventQueue, FullQueueWaitsAndCountsButDropsNothing) {
  TSessionEventQueue queue(10);
  const auto chunk = [](uint8_t b) { return TSessionEvent::OfChunk({0, std::vector<uint8_t>(4, b)}); };
  std::thread pusher([&] {
    for (uint8_t b = 1; b <= 3; ++b) EXPECT_TRUE(queue.Push(chunk(b)));
  });
  EXPECT_TRUE(Eventually([&] { return queue.QueueFull() == 1; })) << "the third push waits";
  EXPECT_EQ(queue.FillBytes(), 8);
  TSessionEvent e;
  for (uint8_t b = 1; b <= 3; ++b) {
    ASSERT_EQ(queue.Pop(e, -1), TPopResult::Event);
    EXPECT_EQ(e.Chunk.Bytes, std::vector<uint8_t>(4, b));
  }
  pusher.join();
  EXPECT_EQ(queue.QueueFull(), 1);
  EXPECT_EQ(queue.HighWaterBytes(), 8);
  EXPECT_EQ(queue.Pop(e, 0), TPopResult::TimedOut);
}

TEST(SessionEventQueue, StopWakesWaitersAndCloseRefuses) {
  TSessionEventQueue queue(4), idle;
  ASSERT_TRUE(queue.Push(TSessionEvent::Dial("1234")));  // full from now on
  bool pushed = false;
  TSessionEvent popped;
  std::thread pusher([&] { pushed = queue.Push(TSessionEvent::Dial("5678")); });
  std::thread popper([&] { EXPECT_EQ(idle.Pop(popped, -1), TPopResult::Event); });
  EXPECT_TRUE(Eventually([&] { return queue.QueueFull() == 1; }));
  queue.RequestStop();
  idle.RequestStop();
  pusher.join();
  popper.join();
  EXPECT_TRUE(pushed) << "a stop lets a waiting pusher through";
  EXPECT_EQ(popped.Kind, TSessionEventKind::Stop);
  queue.Close();
  EXPECT_FALSE(queue.Push(TSessionEvent::Dial("9")));
  // What was queued stays there for the final drain.
  TSessionEvent e;
  ASSERT_TRUE(queue.TryPop(e));
  EXPECT_EQ(e.Text, "1234");
  ASSERT_TRUE(queue.TryPop(e));
  EXPECT_EQ(e.Text, "5678");
  EXPECT_FALSE(queue.TryPop(e));
}

}  // namespace
