// The session driver: the only caller of the decoder.
//
// Run() obtains a decoder, performs the connect handshake (skipped in a
// replay, where the decoder starts connected), starts the test and then
// processes the event queue until a stop, the end of the input or a lost
// line that is not regained: each chunk is fed at its own host time and the
// decoded records are copied into the store; each fix is published to the
// mark source and stamped; call texts are sent; a regained line restarts the
// test and leaves a gap entry. Every ending stops the test, hands every
// record to the sinks, disconnects and deletes the decoder: nothing decoded
// is lost.
//
// Threads: Run on one thread (it owns the decoder). Status() may be called
// from any thread while Run is going.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>

#include "refhost/core/CaptureTap.h"
#include "refhost/core/HostMarkSource.h"
#include "refhost/core/HostPort.h"
#include "refhost/core/PluginLoader.h"
#include "refhost/core/RecordStore.h"
#include "refhost/core/SessionEventQueue.h"
#include "refhost/core/SessionTypes.h"

enum class TSessionEnd : uint8_t {
  Done,           // end of input
  NoAnswer,       // the handset never answered the connect request
  LineDropped,    // the line was lost and not regained
  StoppedByUser,  // Stop (Ctrl-C, --duration)
};
// "done", "no answer", "line dropped", "stopped by user".
const char* SessionEndName(TSessionEnd end);

struct TSessionOptions {
  bool Replay = false;
  std::string ReplayFileName;        // set on the mark source in a replay
  double ConnectLimitSeconds = 50;   // host-side handshake limit
  bool Reconnect = false;            // a lost line waits for LineRegained
  std::string LogFile;               // raw log through slots 14 and 17; empty: none
  std::string DialNumber;            // dial at the start when set
  double CallSeconds = 0;            // hang up this long after a call starts; 0: never
  bool Answer = false;               // answer an incoming call (network SETUP)
  bool GpsConfigured = true;         // a GPS source is expected to give fixes
  // Long enough to bridge a tunnel (a kilometre at 60 km/h), short enough
  // that a crash loses at most a minute of records. Host time, so a replay
  // hands records over where the live session did.
  double GpsQuietSeconds = 60;
  // Said to the user when the GPS goes quiet, ends or comes back (driver's
  // thread); may be empty.
  std::function<void(const std::string&)> Notice;
  TSessionSettings Settings;
};

// What the host knows of its GPS, for the status line.
enum class TGpsState : uint8_t {
  None,      // no GPS source configured
  Waiting,   // configured, no fix yet
  Fixing,    // fixes arriving
  Quiet,     // no fix for GpsQuietSeconds: records are written without a position
  Ended,     // the source ended for good
};
// "no GPS", "waiting for a fix", "fix", "GPS quiet", "GPS ended".
const char* GpsStateName(TGpsState state);

// A snapshot for the status line.
struct TSessionStatus {
  TSessionCounters Counters;
  int64_t RecordsWritten = 0;
  int64_t QueueFillBytes = 0;
  int32_t FrameBytesPerSecond = 0;  // slot 68, refreshed about once a second
  TCallStateView CallState = TCallStateView::Idle;
  TDays LastFixTime = 0;            // 0 before the first fix
  bool LineUp = true;
  TGpsState Gps = TGpsState::None;
};

class TSessionDriver {
 public:
  // All borrowed; each must outlive Run.
  TSessionDriver(const TLoadedPlugin& plugin, THostPort& port, TSessionEventQueue& queue,
                 TRecordStore& store, TSessionOptions options);
  TSessionDriver(const TSessionDriver&) = delete;
  TSessionDriver& operator=(const TSessionDriver&) = delete;

  // Borrowed; null detaches. Set before Run.
  void SetCaptureTap(TCaptureTap* tap) { Tap = tap; }

  // Runs the session to its end and says how it ended. Throws
  // std::runtime_error when the plug-in yields no decoder, and passes on
  // what a sink, the tap or the log file throws, after stopping the decoder
  // and deleting it.
  TSessionEnd Run();

  // One sentence on how the session ended (after Run).
  const std::string& EndMessage() const { return EndText; }
  // Final counters (after Run).
  TSessionCounters Counters() const;
  // Any thread, any time.
  TSessionStatus Status() const;

  THostMarkSource& Marks() { return MarkSource; }

 private:
  using TClock = std::chrono::steady_clock;

  void Start();
  std::optional<TSessionEnd> Handshake();
  TSessionEnd Loop();
  std::exception_ptr Finish();
  void DrainQueued();
  void SetAsideQueued();
  void WatchGps(TDays now);
  void SetGpsState(TGpsState state);
  void HandOverWaiting();
  bool PositionsComing() const;
  void FeedChunk(const TChunk& chunk);
  void CountLines(const TChunk& chunk);
  void FetchRecords();
  void AfterRecord(const TTestDataRecord& record, TCallStateView before);
  void PublishFix(const TGpsFix& fix);
  void LoseLine(TDays when, const std::string& why);
  void RegainLine(TDays when);
  void EmitGap(const TSessionGap& gap);
  void SendCallText(int32_t action, const std::string& number);
  void RunTimers();
  int WaitMs() const;

  const TLoadedPlugin& Plugin;
  THostPort& Port;
  TSessionEventQueue& Queue;
  TRecordStore& Store;
  TSessionOptions Options;
  TCaptureTap* Tap = nullptr;
  THostMarkSource MarkSource;
  THandSetDecode* Decoder = nullptr;

  // Driver thread only.
  bool Testing = false;
  bool LineIsLost = false;
  TDays LostSince = 0;
  TDays GapEnd = 0;  // when the input ended with the line still lost (0: unknown)
  std::string LostWhy;
  bool LineHadBytes = false;
  std::string LineStart;  // the first bytes of the line being counted
  int64_t LinesSeen = 0;
  bool StoppedByUser = false;
  TDays GpsSince = 0;     // host time of the last fix, or of the first chunk before any
  bool CallActive = false;  // dialled or answered, not yet released
  std::optional<TClock::time_point> HangUpAt;
  TClock::time_point NextThroughput{};
  std::string EndText;

  // Written on the driver thread, read by Status() on any thread.
  std::atomic<int64_t> Bytes{0};
  std::atomic<int64_t> Records{0};
  std::atomic<int64_t> Written{0};
  std::atomic<int64_t> Rejected{0};
  std::atomic<int64_t> Gaps{0};
  std::atomic<int64_t> Fixes{0};
  std::atomic<int64_t> CallsSetUp{0};
  std::atomic<int64_t> CallsDropped{0};
  std::atomic<int64_t> Undecoded{0};
  std::atomic<int64_t> GpsOutages{0};
  std::atomic<uint8_t> GpsNow{0};
  std::atomic<int32_t> Throughput{0};
  std::atomic<uint8_t> CallStateNow{0};
  std::atomic<double> LastFix{0.0};
  std::atomic<bool> LineUpNow{true};
};
