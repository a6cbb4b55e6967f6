#include "refhost/core/SessionDriver.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

constexpr uint16_t CcSetup = 0x305;
constexpr uint16_t CcRelease = 0x32D;
constexpr uint16_t RrChannelRelease = 0x60D;
constexpr int32_t ActionDial = 0;
constexpr int32_t ActionHangUp = 1;
constexpr int32_t ActionAnswer = 2;
constexpr auto ThroughputPeriod = std::chrono::seconds(1);
// ReceiveBytes takes a 32-bit count.
constexpr size_t MaxFeed = size_t{1} << 30;
// The handset's answer to the connect request: a handshake line, not a frame.
// A replaying decoder starts connected and is fed it in test mode; it is not
// counted as rejected there either, so replay and live counts agree.
constexpr std::string_view ConnectAnswer{"CONN,123\\2"};

// Shared string for a call, released when the holder goes.
struct TSharedText {
  explicit TSharedText(const std::string& text)
      : Str(text.empty() ? nullptr : SharedStrNew(text.data(), static_cast<int32_t>(text.size()))) {
    if (!text.empty() && Str == nullptr) throw std::bad_alloc();
  }
  ~TSharedText() { SharedStrRelease(Str); }
  TSharedText(const TSharedText&) = delete;
  TSharedText& operator=(const TSharedText&) = delete;
  PSharedStr Str;
};

bool InCall(TCallStateView state) {
  return state == TCallStateView::Alerting || state == TCallStateView::Connected;
}

int32_t ClampIndex(int64_t index) {
  return static_cast<int32_t>(std::min<int64_t>(index, std::numeric_limits<int32_t>::max()));
}

}  // namespace

const char* SessionEndName(TSessionEnd end) {
  switch (end) {
    case TSessionEnd::Done:
      return "done";
    case TSessionEnd::NoAnswer:
      return "no answer";
    case TSessionEnd::LineDropped:
      return "line dropped";
    case TSessionEnd::StoppedByUser:
      return "stopped by user";
  }
  return "unknown";
}

const char* GpsStateName(TGpsState state) {
  switch (state) {
    case TGpsState::None:
      return "no GPS";
    case TGpsState::Waiting:
      return "waiting for a fix";
    case TGpsState::Fixing:
      return "fix";
    case TGpsState::Quiet:
      return "GPS quiet";
    case TGpsState::Ended:
      return "GPS ended";
  }
  return "unknown";
}

TSessionDriver::TSessionDriver(const TLoadedPlugin& plugin, THostPort& port, TSessionEventQueue& queue,
                               TRecordStore& store, TSessionOptions options)
    : Plugin(plugin), Port(port), Queue(queue), Store(store), Options(std::move(options)) {
  GpsNow.store(static_cast<uint8_t>(Options.GpsConfigured ? TGpsState::Waiting : TGpsState::None));
}

TSessionEnd TSessionDriver::Run() {
  if (Options.Replay)
    MarkSource.SetReplayFileName(Options.ReplayFileName.empty() ? "replay" : Options.ReplayFileName);
  Decoder = Plugin.NewDecoder(&Port, MarkSource.Source());
  if (Decoder == nullptr) {
    throw std::runtime_error("The plug-in " + Plugin.Path() +
                             " gave no decoder (its field-store library failed or memory ran out). "
                             "Check the libraries next to it, then try again.");
  }
  TSessionEnd end = TSessionEnd::Done;
  std::exception_ptr failure;
  try {
    Start();
    const std::optional<TSessionEnd> early = Handshake();
    end = early ? *early : Loop();
  } catch (...) {
    failure = std::current_exception();
  }
  const std::exception_ptr closing = Finish();
  if (failure) std::rethrow_exception(failure);
  if (closing) std::rethrow_exception(closing);
  return end;
}

void TSessionDriver::Start() {
  if (Tap != nullptr) Tap->OnSettings(Options.Settings);
  Store.Start(Options.Settings);
  Decoder->SetRecordCountCallback(Store.CountCallback());  // slot 56
  Decoder->SetRecordAtCallback(Store.AtCallback());        // slot 57
  if (!Options.LogFile.empty()) {
    const TSharedText name(Options.LogFile);
    try {
      Decoder->SetLogFileName(name.Str);  // slot 14
    } catch (const std::exception& e) {
      throw std::runtime_error("The raw log " + Options.LogFile + " could not be created (" + e.what() +
                               "): check that its folder exists and is writable, or leave out --log.");
    }
    Decoder->SetLogEnabled(true);  // slot 17
  }
  NextThroughput = TClock::now();
}

std::optional<TSessionEnd> TSessionDriver::Handshake() {
  if (Options.Replay) {
    // A replaying decoder starts connected and sends nothing.
    Decoder->Connect(true);  // slot 20
  } else {
    Decoder->Connect(false);  // slot 20: opens the port, sends the connect request
    const auto limit = std::chrono::duration_cast<TClock::duration>(
        std::chrono::duration<double>(Options.ConnectLimitSeconds));
    const TClock::time_point deadline = TClock::now() + limit;
    while (!Decoder->IsConnected()) {  // slot 0
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
      if (left.count() <= 0) {
        EndText = "The handset did not answer the connect request within " +
                  std::to_string(static_cast<long long>(std::lround(Options.ConnectLimitSeconds))) +
                  " s: check that it is switched on, attached to this port and not used by another "
                  "program, then try again.";
        return TSessionEnd::NoAnswer;
      }
      TSessionEvent e;
      if (Queue.Pop(e, static_cast<int>(std::min<int64_t>(left.count(), 1000))) == TPopResult::TimedOut)
        continue;
      switch (e.Kind) {
        case TSessionEventKind::Chunk:
          FeedChunk(e.Chunk);
          break;
        case TSessionEventKind::Fix:
          PublishFix(e.Fix);
          break;
        case TSessionEventKind::LineLost:
          EndText = "The line was lost before the handset answered (" + e.Text +
                    "): check the cable and the port, then try again.";
          return TSessionEnd::LineDropped;
        case TSessionEventKind::Stop:
          StoppedByUser = true;
          EndText = "Stopped by the user before the handset answered.";
          return TSessionEnd::StoppedByUser;
        case TSessionEventKind::EndOfInput:
          EndText = "The input ended before the handset answered the connect request.";
          return TSessionEnd::NoAnswer;
        case TSessionEventKind::GpsEnded:
          SetGpsState(TGpsState::Ended);
          if (Options.Notice) Options.Notice("the GPS source ended (" + e.Text + ")");
          break;
        default:
          break;  // nothing to dial or answer before the test runs
      }
    }
  }
  Decoder->ResetAndStartTest();  // slot 24
  Testing = true;
  Store.RestartPositions();
  if (!Options.DialNumber.empty()) SendCallText(ActionDial, Options.DialNumber);
  return std::nullopt;
}

TSessionEnd TSessionDriver::Loop() {
  for (;;) {
    TSessionEvent e;
    const TPopResult got = Queue.Pop(e, WaitMs());
    RunTimers();
    if (got == TPopResult::TimedOut) continue;
    switch (e.Kind) {
      case TSessionEventKind::Chunk:
        FeedChunk(e.Chunk);
        break;
      case TSessionEventKind::Fix:
        PublishFix(e.Fix);
        break;
      case TSessionEventKind::LineLost:
        LoseLine(e.Time, e.Text);
        if (!Options.Reconnect) {
          EndText = "The line was lost (" + LostWhy +
                    "): every record so far is written. Check the cable and the handset and start "
                    "a new session (--reconnect keeps a session going across drops).";
          return TSessionEnd::LineDropped;
        }
        break;
      case TSessionEventKind::LineRegained:
        RegainLine(e.Time);
        break;
      case TSessionEventKind::Dial:
        SendCallText(ActionDial, e.Text);
        break;
      case TSessionEventKind::HangUp:
        SendCallText(ActionHangUp, {});
        break;
      case TSessionEventKind::Answer:
        SendCallText(ActionAnswer, {});
        break;
      case TSessionEventKind::GpsEnded:
        SetGpsState(TGpsState::Ended);
        if (Options.Notice)
          Options.Notice("the GPS source ended (" + e.Text + "): records are written without a position from now on");
        HandOverWaiting();
        break;
      case TSessionEventKind::Stop:
        StoppedByUser = true;
        EndText = "Stopped by the user; every record so far is written.";
        return TSessionEnd::StoppedByUser;
      case TSessionEventKind::EndOfInput:
        if (LineIsLost) {
          GapEnd = e.Time;
          EndText = "The line was lost (" + LostWhy +
                    ") and not regained: every record so far is written. Check the cable and the "
                    "handset, then start a new session.";
          return TSessionEnd::LineDropped;
        }
        EndText = "The input ended; every record is written.";
        return TSessionEnd::Done;
    }
  }
}

std::exception_ptr TSessionDriver::Finish() {
  std::exception_ptr first;
  const auto step = [&](auto&& action) {
    try {
      action();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  };
  // What was received before the end still goes through the decoder, unless
  // the user asked to stop: a backlog would take as long again to decode.
  Queue.Close();
  step([&] {
    if (StoppedByUser) {
      SetAsideQueued();
    } else {
      DrainQueued();
    }
  });
  if (Tap != nullptr) step([&] { Tap->OnStop(); });
  step([&] { Decoder->StopTest(); });  // slot 25
  step([&] { FetchRecords(); });
  step([&] {
    // The stop released the waiting records: acknowledge, then hand them over.
    if (Decoder->GetPositionsChanged()) Decoder->LastStampedIndex();  // slots 29, 35
    Store.FinaliseRest();
    Written.store(Store.Written());
  });
  if (LineIsLost) {
    step([&] {
      const TDays to = GapEnd > 0 ? GapEnd : (Options.Replay ? LostSince : Port.LiveTime());
      EmitGap(TSessionGap{LostSince, std::max(to, LostSince), LostWhy});
    });
  }
  step([&] { Decoder->Disconnect(); });  // slot 21
  delete Decoder;
  Decoder = nullptr;
  step([&] { Store.Finish(Counters()); });
  return first;
}

void TSessionDriver::DrainQueued() {
  if (!Testing) return;
  TSessionEvent e;
  while (Queue.TryPop(e)) {
    if (e.Kind == TSessionEventKind::Chunk) FeedChunk(e.Chunk);
    if (e.Kind == TSessionEventKind::Fix) PublishFix(e.Fix);
  }
}

void TSessionDriver::SetAsideQueued() {
  TSessionEvent e;
  while (Queue.TryPop(e)) {
    if (e.Kind == TSessionEventKind::Chunk) {
      if (Tap != nullptr) Tap->OnChunk(e.Chunk);
      const auto n = static_cast<int64_t>(e.Chunk.Bytes.size());
      Bytes.fetch_add(n);
      Undecoded.fetch_add(n);
    }
    if (e.Kind == TSessionEventKind::Fix) PublishFix(e.Fix);
  }
}

void TSessionDriver::SetGpsState(TGpsState state) {
  const auto before = static_cast<TGpsState>(GpsNow.load());
  if (before == state) return;
  if (state == TGpsState::Quiet || (state == TGpsState::Ended && before != TGpsState::Quiet)) GpsOutages.fetch_add(1);
  GpsNow.store(static_cast<uint8_t>(state));
}

bool TSessionDriver::PositionsComing() const {
  const auto state = static_cast<TGpsState>(GpsNow.load());
  return state == TGpsState::Waiting || state == TGpsState::Fixing;
}

// The GPS is quiet once no fix has come for GpsQuietSeconds of host time,
// counted from the last fix or, before any, from the first bytes.
void TSessionDriver::WatchGps(TDays now) {
  if (!PositionsComing()) return;
  if (GpsSince <= 0) {
    GpsSince = now;
    return;
  }
  const double quiet = (now - GpsSince) * 86400.0;
  if (quiet < Options.GpsQuietSeconds) return;
  SetGpsState(TGpsState::Quiet);
  if (Options.Notice)
    Options.Notice("no GPS fix for " + std::to_string(std::lround(quiet)) +
                   " s: records are written without a position until fixes return");
}

void TSessionDriver::HandOverWaiting() {
  if (Decoder == nullptr || Store.Count() == Store.Written()) return;
  Store.FinaliseRest();
  Decoder->SetMinRecordIndex(ClampIndex(Store.Written()));  // slot 31
  Written.store(Store.Written());
}

void TSessionDriver::FeedChunk(const TChunk& chunk) {
  if (Tap != nullptr) Tap->OnChunk(chunk);
  Bytes.fetch_add(static_cast<int64_t>(chunk.Bytes.size()));
  if (Testing) CountLines(chunk);
  Port.SetClock(chunk.HostTime);
  for (size_t at = 0; at < chunk.Bytes.size(); at += MaxFeed) {
    const size_t n = std::min(MaxFeed, chunk.Bytes.size() - at);
    Decoder->ReceiveBytes(chunk.Bytes.data() + at, static_cast<int32_t>(n), 0);  // slot 19
  }
  FetchRecords();
  // After the fetch, and also when the chunk gave no record at all.
  Rejected.store(std::max<int64_t>(0, LinesSeen - Store.Count()));
  WatchGps(chunk.HostTime);
  if (!PositionsComing()) HandOverWaiting();
}

// Frames the decoding library refused are not visible to the host; they are
// derived as the non-empty CR-terminated lines fed during the test minus the
// records the decoder stored.
void TSessionDriver::CountLines(const TChunk& chunk) {
  // Line by line, not byte by byte: only the first bytes of a line that are
  // neither LF nor NUL decide whether it counts.
  const uint8_t* at = chunk.Bytes.data();
  const uint8_t* const end = at + chunk.Bytes.size();
  int64_t lines = 0;
  const auto filler = [](uint8_t b) { return b == '\n' || b == 0; };
  while (at < end) {
    const auto* cr = static_cast<const uint8_t*>(std::memchr(at, '\r', static_cast<size_t>(end - at)));
    const uint8_t* const stop = cr != nullptr ? cr : end;
    // A whole line whose first bytes hold no LF or NUL is its own start.
    const size_t head = std::min(static_cast<size_t>(stop - at), ConnectAnswer.size() + 1);
    if (cr != nullptr && !LineHadBytes && std::none_of(at, at + head, filler)) {
      if (head > 0 && std::string_view(reinterpret_cast<const char*>(at), head) != ConnectAnswer) ++lines;
      at = cr + 1;
      continue;
    }
    for (const uint8_t* b = at; b != stop && LineStart.size() <= ConnectAnswer.size(); ++b) {
      if (filler(*b)) continue;
      LineHadBytes = true;
      LineStart.push_back(static_cast<char>(*b));
    }
    if (cr == nullptr) break;
    if (LineHadBytes && LineStart != ConnectAnswer) ++lines;
    LineHadBytes = false;
    LineStart.clear();
    at = cr + 1;
  }
  LinesSeen += lines;
}

void TSessionDriver::FetchRecords() {
  const int32_t count = Decoder->GetStoredRecordCount();  // slot 38
  if (count <= 0) return;
  std::exception_ptr failure;
  for (int32_t i = 0; i < count; ++i) {
    const TTestDataRecord* const record = Decoder->GetStoredRecord(i);  // slot 36
    if (record != nullptr && !failure) {
      try {
        const TCallStateView before = Store.CallState();
        Store.Add(*record);
        AfterRecord(*record, before);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    Decoder->FreeStoredRecord(i);  // slot 34
  }
  Decoder->ClearStoredRecords();  // slot 37
  if (Store.Written() != Written.load()) {
    Decoder->SetMinRecordIndex(ClampIndex(Store.Written()));  // slot 31
    Written.store(Store.Written());
  }
  Records.store(Store.Count());
  CallStateNow.store(static_cast<uint8_t>(Store.CallState()));
  if (failure) std::rethrow_exception(failure);
}

void TSessionDriver::AfterRecord(const TTestDataRecord& record, TCallStateView before) {
  const TCallStateView now = Store.CallState();
  if (now == TCallStateView::Connected && before != TCallStateView::Connected) CallsSetUp.fetch_add(1);
  const uint16_t id = MessageIdOf(record);
  if (id == CcRelease || id == RrChannelRelease) {
    CallActive = false;
    HangUpAt.reset();
  }
  if (id == CcSetup && Options.Answer && !CallActive) SendCallText(ActionAnswer, {});
}

void TSessionDriver::PublishFix(const TGpsFix& fix) {
  if (Tap != nullptr) Tap->OnFix(fix);
  Fixes.fetch_add(1);
  LastFix.store(fix.Time);
  GpsSince = fix.Time;
  const auto gps = static_cast<TGpsState>(GpsNow.load());
  if (gps == TGpsState::Quiet && Options.Notice) Options.Notice("GPS fixes again");
  if (gps != TGpsState::Ended) GpsNow.store(static_cast<uint8_t>(TGpsState::Fixing));
  // Writers see the fix before the records it makes final.
  Store.Fix(fix);
  const TPositionBlock block = MarkSource.Publish(fix);
  Decoder->NewPosition(block);  // slot 44
  if (Decoder->GetPositionsChanged()) {  // slot 29
    Store.FinaliseByFix(Decoder->LastStampedIndex());  // slot 35
    // Final records are gone from the store; the decoder never needs them.
    Decoder->SetMinRecordIndex(ClampIndex(Store.Written()));  // slot 31
    Written.store(Store.Written());
  }
}

void TSessionDriver::LoseLine(TDays when, const std::string& why) {
  if (LineIsLost) return;
  if (Tap != nullptr) Tap->OnLineLost(when, why);
  LineIsLost = true;
  LineUpNow.store(false);
  LostSince = when;
  LostWhy = why;
  if (InCall(Store.CallState())) CallsDropped.fetch_add(1);
  Store.MarkGap();
  CallStateNow.store(static_cast<uint8_t>(Store.CallState()));
  CallActive = false;
  HangUpAt.reset();
}

void TSessionDriver::RegainLine(TDays when) {
  if (!LineIsLost) return;
  if (Tap != nullptr) Tap->OnLineRegained(when);
  try {
    Decoder->ReopenAndStartTest();  // slot 39
  } catch (const std::exception& e) {
    // Gone again before the restart finished: the gap goes on.
    LostWhy = std::string("reopening failed: ") + e.what();
    return;
  }
  LineIsLost = false;
  LineUpNow.store(true);
  Store.RestartPositions();
  EmitGap(TSessionGap{LostSince, std::max(when, LostSince), LostWhy});
}

void TSessionDriver::EmitGap(const TSessionGap& gap) {
  Gaps.fetch_add(1);
  Store.Gap(gap);
}

void TSessionDriver::SendCallText(int32_t action, const std::string& number) {
  if (Options.Replay || LineIsLost) return;
  const TSharedText dialled(number);
  const TCallSettings settings{0, dialled.Str};
  const std::unique_ptr<TStringList> texts(Decoder->BuildCallCommand(action, &settings));  // slot 63
  for (int32_t i = 0; texts && i < texts->Count(); ++i) {
    const PSharedStr text = texts->Item(i);
    if (text == nullptr) continue;
    try {
      Port.Write(text, SharedStrLength(text));
    } catch (const std::exception&) {
      // A port that fails here is reported lost by the reader.
    }
  }
  if (action == ActionHangUp) {
    CallActive = false;
    HangUpAt.reset();
    return;
  }
  CallActive = true;
  if (Options.CallSeconds > 0) {
    HangUpAt = TClock::now() + std::chrono::duration_cast<TClock::duration>(
                                   std::chrono::duration<double>(Options.CallSeconds));
  }
}

void TSessionDriver::RunTimers() {
  const TClock::time_point now = TClock::now();
  if (HangUpAt && now >= *HangUpAt) SendCallText(ActionHangUp, {});
  if (now >= NextThroughput) {
    Throughput.store(Decoder->GetThroughput());  // slot 68
    NextThroughput = now + ThroughputPeriod;
  }
}

int TSessionDriver::WaitMs() const {
  TClock::time_point next = NextThroughput;
  if (HangUpAt) next = std::min(next, *HangUpAt);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - TClock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, 1000));
}

TSessionCounters TSessionDriver::Counters() const {
  TSessionCounters c;
  c.BytesReceived = Bytes.load();
  c.FramesDecoded = Records.load();
  c.FramesRejected = Rejected.load();
  c.Gaps = Gaps.load();
  c.QueueFull = Queue.QueueFull();
  c.QueueHighWaterBytes = Queue.HighWaterBytes();
  c.Fixes = Fixes.load();
  c.CallsSetUp = CallsSetUp.load();
  c.CallsDropped = CallsDropped.load();
  c.BytesUndecoded = Undecoded.load();
  c.GpsOutages = GpsOutages.load();
  return c;
}

TSessionStatus TSessionDriver::Status() const {
  TSessionStatus s;
  s.Counters = Counters();
  s.RecordsWritten = Written.load();
  s.QueueFillBytes = Queue.FillBytes();
  s.FrameBytesPerSecond = Throughput.load();
  s.CallState = static_cast<TCallStateView>(CallStateNow.load());
  s.LastFixTime = LastFix.load();
  s.LineUp = LineUpNow.load();
  s.Gps = static_cast<TGpsState>(GpsNow.load());
  return s;
}
