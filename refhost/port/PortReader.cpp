#include "refhost/port/PortReader.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <cmath>
#include <ctime>
#include <vector>

namespace {

using TSteady = std::chrono::steady_clock;

double SecondsSince(TSteady::time_point t) {
  return std::chrono::duration<double>(TSteady::now() - t).count();
}

std::string SecondsText(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", s);
  return text;
}

}  // namespace

namespace {
constexpr int32_t NoOffsetHeld = INT32_MIN;
std::atomic<int32_t> HeldOffsetMinutes{NoOffsetHeld};
}  // namespace

void HoldHostClockOffset(int32_t utcOffsetMinutes) { HeldOffsetMinutes.store(utcOffsetMinutes); }

TDays HostClockNow() {
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  int64_t offsetMinutes = HeldOffsetMinutes.load();
  if (offsetMinutes == NoOffsetHeld) {
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    offsetMinutes = ::localtime_r(&secs, &local) ? local.tm_gmtoff / 60 : 0;
  }
  // Days from 1899-12-30, on the millisecond grid of the local reading.
  return 25569.0 + static_cast<double>(ms + offsetMinutes * 60000) / 86400000.0;
}

TPortReader::TPortReader(TSerialDevicePort& port, TSessionEventQueue& queue, TReaderOptions options)
    : Port(port), Queue(queue), Options(options) {}

TPortReader::~TPortReader() { Stop(); }

void TPortReader::Start() { Thread = std::thread([this] { Run(); }); }

void TPortReader::Stop() {
  {
    std::lock_guard lock(Lock);
    Stopping = true;
  }
  Wake.notify_all();
  Port.Interrupt();
  if (Thread.joinable()) Thread.join();
}

bool TPortReader::WaitStopFor(double seconds) {
  std::unique_lock lock(Lock);
  return Wake.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return Stopping; });
}

void TPortReader::Run() {
  std::vector<uint8_t> buffer(Options.ChunkBytes);
  auto lastByte = TSteady::now();
  // Silence counts once the handset has spoken: before that the connect
  // handshake's own limit decides.
  bool heard = false;
  for (;;) {
    {
      std::lock_guard lock(Lock);
      if (Stopping) return;
    }
    // Wait for bytes no longer than the silence still allowed: the limit is
    // noticed on time without waking more than about once a second.
    const double left = heard ? Options.SilenceLimitSeconds - SecondsSince(lastByte) : 1.0;
    const int waitMs = static_cast<int>(std::clamp(left, 0.0, 1.0) * 1000.0) + 1;
    size_t count = 0;
    std::string lostWhy;
    try {
      count = Port.Read(buffer.data(), buffer.size(), waitMs);
    } catch (const EPortLost& e) {
      lostWhy = e.what();
    }
    if (count > 0) {
      lastByte = TSteady::now();
      heard = true;
      TChunk chunk{HostClockNow(), std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(count))};
      // Counted once taken: bytes read after the session closed its queue
      // never reached it.
      if (!Queue.Push(TSessionEvent::OfChunk(std::move(chunk)))) return;
      Bytes += static_cast<int64_t>(count);
      continue;
    }
    if (lostWhy.empty() && heard && SecondsSince(lastByte) >= Options.SilenceLimitSeconds) {
      {
        std::lock_guard lock(Lock);
        if (Stopping) return;
      }
      lostWhy = "no bytes from the handset for " + SecondsText(Options.SilenceLimitSeconds) + " s";
      Port.Close();
    }
    if (lostWhy.empty()) continue;
    if (!LoseLine(lostWhy)) return;
    lastByte = TSteady::now();
  }
}

bool TPortReader::LoseLine(const std::string& why) {
  Up = false;
  if (!Queue.Push(TSessionEvent::LineLost(HostClockNow(), why))) return false;
  if (!Options.Reconnect) {
    LostForGood = true;
    return false;
  }
  const auto since = TSteady::now();
  double backOff = 0.25;
  for (;;) {
    const double left = Options.ReconnectTimeoutSeconds - SecondsSince(since);
    if (left <= 0) break;
    if (WaitStopFor(std::min(backOff, left))) return false;
    try {
      Port.Reopen();
      Up = true;
      ++Regained;
      return Queue.Push(TSessionEvent::LineRegained(HostClockNow()));
    } catch (const EPortError&) {
      backOff = std::min(backOff * 2, 5.0);
    }
  }
  LostForGood = true;
  TSessionEvent end = TSessionEvent::Of(TSessionEventKind::EndOfInput);
  end.Time = HostClockNow();  // the gap's end
  Queue.Push(std::move(end));
  return false;
}
