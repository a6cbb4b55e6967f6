#include "refhost/samples/SimulatedCapture.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "refhost/capture/CaptureWriter.h"
#include "refhost/core/HostMarkSource.h"
#include "refhost/core/HostPort.h"
#include "refhost/core/RecordStore.h"
#include "refhost/gps/SimulatedGps.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/RecordValues.h"
#include "refhost/sim/HandsetSimulator.h"

namespace {

constexpr double SecondsPerDay = 86400.0;
constexpr double ConnectLimitS = 10;
constexpr int32_t ActionDial = 0;
constexpr int32_t ActionHangUp = 1;
constexpr const char* DialledNumber = "+4930123456";

// The in-memory port: the replay port, except that what the plug-in writes
// goes to the simulated handset at the virtual time, and the clock is the
// virtual clock.
class TVirtualPort : public TReplayPort {
 public:
  TVirtualPort(THandsetSimulator& handset, const double& seconds, TDays start)
      : Handset(handset), Seconds(seconds), Start(start) {}
  void Write(const void* data, int32_t count) override {
    if (LineUp && count > 0) Handset.Receive(static_cast<const uint8_t*>(data), static_cast<size_t>(count), Seconds);
  }
  TDays LiveTime() override { return Start + Seconds / SecondsPerDay; }

  bool LineUp = true;

 private:
  THandsetSimulator& Handset;
  const double& Seconds;
  const TDays Start;
};

// Everything of one recording session; the steps mirror the session
// driver's handling of each event, so the capture is what a live session
// would have recorded.
class TRecorder {
 public:
  TRecorder(const TLoadedPlugin& plugin, const std::string& path, const TSimulatedCaptureOptions& options,
            const std::vector<TRecordSink*>& sinks)
      : Options(options),
        Path(path),
        Handset(SimulatorOptions(options)),
        Start(MakeDays(2026, 12, 8, 10, 0, 0)),
        Port(Handset, Now, Start),
        Store(DescribeRecord),
        Gps(Handset.Drive(), [this](const TGpsFix& fix) { Fix(fix); },
            [this] { return Start + Now / SecondsPerDay; }),
        Writer(path, CaptureSaltFromSeed(options.Seed), std::chrono::milliseconds(0)) {
    for (TRecordSink* sink : sinks) Store.AddSink(sink);
    Decoder = plugin.NewDecoder(&Port, Marks.Source());
    if (Decoder == nullptr) throw std::runtime_error("the plug-in " + plugin.Path() + " gave no decoder");
  }
  ~TRecorder() { delete Decoder; }

  TSimulatedCaptureResult Run() {
    const TSessionSettings settings{"simulate", "simulate", Options.UtcOffsetMinutes, Options.Seed};
    Writer.OnSettings(settings);
    Store.Start(settings);
    Decoder->SetRecordCountCallback(Store.CountCallback());
    Decoder->SetRecordAtCallback(Store.AtCallback());
    Decoder->Connect(false);
    while (!Decoder->IsConnected()) {
      if (Now > ConnectLimitS) throw std::runtime_error("the simulated handset never answered");
      Tick(false);
    }
    Decoder->ResetAndStartTest();
    Store.RestartPositions();
    Started = true;
    const double begin = Now;
    bool dialled = false, hungUp = false, dropped = false, regained = false;
    while (Now - begin < Options.Seconds) {
      const double t = Now - begin;
      if (Options.DialAtS >= 0 && !dialled && t >= Options.DialAtS) dialled = Call(ActionDial);
      if (dialled && !hungUp && t >= Options.DialAtS + Options.CallSeconds) hungUp = Call(ActionHangUp);
      if (Options.DropAtS >= 0 && !dropped && t >= Options.DropAtS) dropped = LoseLine();
      if (dropped && !regained && t >= Options.DropAtS + Options.DropForS) regained = RegainLine();
      Tick(true);
    }
    Writer.OnStop();
    Decoder->StopTest();
    Fetch();
    if (Decoder->GetPositionsChanged()) Decoder->LastStampedIndex();
    Store.FinaliseRest();
    Decoder->Disconnect();
    TSessionCounters counters;
    counters.BytesReceived = Result.HandsetBytes;
    counters.FramesDecoded = Store.Count();
    counters.Gaps = Gaps;
    counters.Fixes = Result.Fixes;
    Store.Finish(counters);
    Result.FileBytes = static_cast<int64_t>(std::filesystem::file_size(Path));
    if (!Writer.Failure().empty()) throw ECaptureWrite(Writer.Failure());
    Result.Start = Start;
    Result.Truth = Handset.Truth();
    return Result;
  }

 private:
  static TSimulatorOptions SimulatorOptions(const TSimulatedCaptureOptions& o) {
    TSimulatorOptions s;
    s.Seed = o.Seed;
    s.FloodBaud = o.FloodBaud;
    s.IncomingCallEveryS = o.IncomingCallEveryS;
    s.Faults = o.Faults;
    return s;
  }

  // One port read: fixes due by now, then the bytes the handset sent.
  void Tick(bool gps) {
    Now += Options.ChunkMs / 1000.0;
    if (gps) Gps.EmitDue();
    std::vector<uint8_t> bytes = Handset.Transmit(Now);
    if (!Port.LineUp || bytes.empty()) return;  // a dropped line delivers nothing
    const TChunk chunk{Start + Now / SecondsPerDay, std::move(bytes)};
    Writer.OnChunk(chunk);
    ++Result.Chunks;
    Result.HandsetBytes += static_cast<int64_t>(chunk.Bytes.size());
    if (Started && !Options.DecodeAfterStart) return;
    Port.SetClock(chunk.HostTime);
    Decoder->ReceiveBytes(chunk.Bytes.data(), static_cast<int32_t>(chunk.Bytes.size()), 0);
    Port.ReleaseClock();
    Fetch();
  }

  void Fetch() {
    const int32_t count = Decoder->GetStoredRecordCount();
    for (int32_t i = 0; i < count; ++i) {
      if (const TTestDataRecord* record = Decoder->GetStoredRecord(i)) Store.Add(*record);
      Decoder->FreeStoredRecord(i);
    }
    if (count > 0) Decoder->ClearStoredRecords();
    Result.Records = Store.Count();
  }

  void Fix(const TGpsFix& fix) {
    Writer.OnFix(fix);
    ++Result.Fixes;
    Store.Fix(fix);
    Decoder->NewPosition(Marks.Publish(fix));
    if (Decoder->GetPositionsChanged()) {
      Store.FinaliseByFix(Decoder->LastStampedIndex());
      Decoder->SetMinRecordIndex(static_cast<int32_t>(Store.Written()));
    }
  }

  bool Call(int32_t action) {
    const PSharedStr number =
        action == ActionDial ? SharedStrNew(DialledNumber, static_cast<int32_t>(std::strlen(DialledNumber))) : nullptr;
    const TCallSettings settings{0, number};
    const std::unique_ptr<TStringList> texts(Decoder->BuildCallCommand(action, &settings));
    for (int32_t i = 0; texts && i < texts->Count(); ++i)
      if (const PSharedStr text = texts->Item(i)) Port.Write(text, SharedStrLength(text));
    SharedStrRelease(number);
    return true;
  }

  bool LoseLine() {
    Port.LineUp = false;
    LostSince = Start + Now / SecondsPerDay;
    Writer.OnLineLost(LostSince, LostWhy);
    Store.MarkGap();
    return true;
  }

  bool RegainLine() {
    Port.LineUp = true;
    const TDays when = Start + Now / SecondsPerDay;
    Writer.OnLineRegained(when);
    Decoder->ReopenAndStartTest();
    Store.RestartPositions();
    ++Gaps;
    Store.Gap(TSessionGap{LostSince, when, LostWhy});
    return true;
  }

  const TSimulatedCaptureOptions Options;
  const std::string Path;
  double Now = 0;  // virtual seconds since the handset was switched on
  THandsetSimulator Handset;
  const TDays Start;
  TVirtualPort Port;
  THostMarkSource Marks;
  TRecordStore Store;
  TSimulatedGps Gps;
  TCaptureWriter Writer;
  THandSetDecode* Decoder = nullptr;
  TSimulatedCaptureResult Result;
  bool Started = false;
  TDays LostSince = 0;
  const std::string LostWhy = "port closed by the other end";
  int64_t Gaps = 0;
};

}  // namespace

TSimulatedCaptureResult MakeSimulatedCapture(const TLoadedPlugin& plugin, const std::string& path,
                                             const TSimulatedCaptureOptions& options,
                                             const std::vector<TRecordSink*>& sinks) {
  TRecorder recorder(plugin, path, options, sinks);
  return recorder.Run();
}
