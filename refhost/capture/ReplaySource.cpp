#include "refhost/capture/ReplaySource.h"

#include <chrono>

namespace {

constexpr double SecondsPerDay = 86400.0;

}  // namespace

TReplaySource::TReplaySource(TCaptureReader& reader, TSessionEventQueue& queue, bool realtime)
    : Reader(reader), Queue(queue), Realtime(realtime) {
  TCaptureEvent event;
  if (!Reader.Next(event)) return;
  if (event.Type == TCaptureRecordType::Settings)
    Recorded = event.Settings;
  else
    First = std::move(event);
}

TReplaySource::~TReplaySource() {
  RequestStop();
  Join();
}

void TReplaySource::Start() { Worker = std::thread([this] { Run(); }); }

void TReplaySource::Join() {
  if (Worker.joinable()) Worker.join();
}

void TReplaySource::RequestStop() {
  {
    std::lock_guard<std::mutex> guard(Lock);
    Stopping = true;
  }
  Wake.notify_all();
}

void TReplaySource::Run() {
  bool going = true;
  if (First) going = Push(*First);
  TCaptureEvent event;
  while (going && Reader.Next(event)) going = Push(event);
  Queue.Push(TSessionEvent::Of(TSessionEventKind::EndOfInput));
}

bool TReplaySource::WaitUntilDue(TDays when) {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  if (!PaceStart) {
    PaceStart = now;
    PaceOrigin = when;
  }
  const auto due = *PaceStart + duration_cast<steady_clock::duration>(
                                    duration<double>((when - PaceOrigin) * SecondsPerDay));
  std::unique_lock<std::mutex> guard(Lock);
  Wake.wait_until(guard, due, [this] { return Stopping; });
  return !Stopping;
}

bool TReplaySource::Push(TCaptureEvent& event) {
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (Stopping) return false;
  }
  TSessionEvent out;
  switch (event.Type) {
    case TCaptureRecordType::Settings:
      return true;  // only the leading one counts
    case TCaptureRecordType::Chunk:
      out = TSessionEvent::OfChunk(TChunk{event.Time, std::move(event.Bytes)});
      event.Bytes = {};
      break;
    case TCaptureRecordType::Fix:
      out = TSessionEvent::OfFix(event.Fix);
      break;
    case TCaptureRecordType::LineLost:
      out = TSessionEvent::LineLost(event.Time, event.Why);
      break;
    case TCaptureRecordType::LineRegained:
      out = TSessionEvent::LineRegained(event.Time);
      break;
    case TCaptureRecordType::Stop:
      return false;
  }
  if (Realtime && !WaitUntilDue(event.Time)) return false;
  if (!Queue.Push(std::move(out))) return false;
  ++Pushed;
  return true;
}

TCaptureReplayPort::TCaptureReplayPort() : ClockTap(Now) {}
