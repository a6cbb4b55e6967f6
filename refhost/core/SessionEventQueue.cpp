#include "refhost/core/SessionEventQueue.h"

#include <chrono>
#include <utility>

TSessionEvent TSessionEvent::OfChunk(TChunk chunk) {
  TSessionEvent e;
  e.Kind = TSessionEventKind::Chunk;
  e.Chunk = std::move(chunk);
  return e;
}

TSessionEvent TSessionEvent::OfFix(const TGpsFix& fix) {
  TSessionEvent e;
  e.Kind = TSessionEventKind::Fix;
  e.Fix = fix;
  return e;
}

TSessionEvent TSessionEvent::LineLost(TDays when, std::string why) {
  TSessionEvent e;
  e.Kind = TSessionEventKind::LineLost;
  e.Time = when;
  e.Text = std::move(why);
  return e;
}

TSessionEvent TSessionEvent::LineRegained(TDays when) {
  TSessionEvent e;
  e.Kind = TSessionEventKind::LineRegained;
  e.Time = when;
  return e;
}

TSessionEvent TSessionEvent::Dial(std::string number) {
  TSessionEvent e;
  e.Kind = TSessionEventKind::Dial;
  e.Text = std::move(number);
  return e;
}

TSessionEvent TSessionEvent::GpsEnded(std::string why) {
  TSessionEvent e;
  e.Kind = TSessionEventKind::GpsEnded;
  e.Text = std::move(why);
  return e;
}

TSessionEvent TSessionEvent::Of(TSessionEventKind kind) {
  TSessionEvent e;
  e.Kind = kind;
  return e;
}

TSessionEventQueue::TSessionEventQueue(size_t capacityBytes) : Capacity(capacityBytes) {}

bool TSessionEventQueue::Push(TSessionEvent event) {
  const int64_t weight = static_cast<int64_t>(event.Weight());
  std::unique_lock<std::mutex> hold(Lock);
  const auto hasRoom = [&] {
    return Closed || Stopping.load() || Events.empty() ||
           Fill.load() + weight <= static_cast<int64_t>(Capacity);
  };
  if (!hasRoom()) {
    FullCount.fetch_add(1);
    // Once full, wait until half of it is free: a reader that refilled the
    // last chunk's room at every pop would cost a wake-up per chunk.
    const auto halfFree = [&] {
      return Closed || Stopping.load() || Events.empty() ||
             (Fill.load() <= static_cast<int64_t>(Capacity / 2) &&
              Fill.load() + weight <= static_cast<int64_t>(Capacity));
    };
    ++PushersWaiting;
    NotFull.wait(hold, halfFree);
    --PushersWaiting;
  }
  if (Closed) return false;
  Events.push_back(std::move(event));
  const int64_t fill = Fill.load() + weight;
  Fill.store(fill);
  if (fill > HighWater.load()) HighWater.store(fill);
  const bool wake = PoppersWaiting > 0;
  hold.unlock();
  if (wake) NotEmpty.notify_one();
  return true;
}

TPopResult TSessionEventQueue::Pop(TSessionEvent& out, int timeoutMs) {
  std::unique_lock<std::mutex> hold(Lock);
  const auto ready = [&] { return Stopping.load() || !Events.empty(); };
  if (!ready()) {
    ++PoppersWaiting;
    bool got = true;
    if (timeoutMs < 0) {
      NotEmpty.wait(hold, ready);
    } else {
      got = NotEmpty.wait_for(hold, std::chrono::milliseconds(timeoutMs), ready);
    }
    --PoppersWaiting;
    if (!got) return TPopResult::TimedOut;
  }
  if (Stopping.load()) {
    out = TSessionEvent::Of(TSessionEventKind::Stop);
    return TPopResult::Event;
  }
  TakeFront(out, hold);
  return TPopResult::Event;
}

bool TSessionEventQueue::TryPop(TSessionEvent& out) {
  std::unique_lock<std::mutex> hold(Lock);
  if (Events.empty()) return false;
  TakeFront(out, hold);
  return true;
}

void TSessionEventQueue::TakeFront(TSessionEvent& out, std::unique_lock<std::mutex>& hold) {
  out = std::move(Events.front());
  Events.pop_front();
  const int64_t fill = Fill.load() - static_cast<int64_t>(out.Weight());
  Fill.store(fill);
  const bool wake = PushersWaiting > 0 && (fill <= static_cast<int64_t>(Capacity / 2) || Events.empty());
  hold.unlock();
  if (wake) NotFull.notify_all();
}

void TSessionEventQueue::RequestStop() {
  {
    std::lock_guard<std::mutex> hold(Lock);
    Stopping.store(true);
  }
  NotEmpty.notify_all();
  NotFull.notify_all();
}

void TSessionEventQueue::Close() {
  {
    std::lock_guard<std::mutex> hold(Lock);
    Closed = true;
  }
  NotEmpty.notify_all();
  NotFull.notify_all();
}
