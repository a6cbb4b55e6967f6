// The one road into the session driver: the reader thread, the GPS sources,
// the replay source and the front end push events; the driver pops them.
//
// Bounded by bytes (chunk payloads and texts). Push never drops: when the
// queue is full the pusher waits until half of it is free again and the
// wait is counted (QueueFull). One mutex, two condition variables, no
// sleep-and-poll.
// RequestStop wakes every wait: the next Pop returns a Stop event at once,
// and pushers no longer wait for room. Close refuses further pushes.
//
// Threads: every member may be called from any thread. RequestStop locks a
// mutex, so a signal handler must not call it directly (hand it to a thread).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "refhost/core/SessionTypes.h"

enum class TSessionEventKind : uint8_t {
  Chunk,         // handset bytes (Chunk)
  Fix,           // a GPS fix (Fix)
  LineLost,      // the port is gone (Time, Text = why)
  LineRegained,  // the port is back (Time)
  Dial,          // dial Text
  HangUp,
  Answer,
  Stop,          // the user asked to stop
  GpsEnded,      // the GPS source ended for good (Text = why)
  EndOfInput,    // the source has nothing more (end of a capture; a reconnect given up)
};

struct TSessionEvent {
  TSessionEventKind Kind = TSessionEventKind::EndOfInput;
  TChunk Chunk;
  TGpsFix Fix;
  TDays Time = 0;    // host clock of a line event (and of EndOfInput, when known)
  std::string Text;  // why the line was lost; the number to dial

  static TSessionEvent OfChunk(TChunk chunk);
  static TSessionEvent OfFix(const TGpsFix& fix);
  static TSessionEvent LineLost(TDays when, std::string why);
  static TSessionEvent LineRegained(TDays when);
  static TSessionEvent Dial(std::string number);
  static TSessionEvent GpsEnded(std::string why);
  static TSessionEvent Of(TSessionEventKind kind);  // HangUp, Answer, Stop, EndOfInput

  // What the event weighs against the queue's capacity.
  size_t Weight() const { return Chunk.Bytes.size() + Text.size(); }
};

enum class TPopResult : uint8_t { Event, TimedOut };

class TSessionEventQueue {
 public:
  // capacityBytes: how much may wait before pushers wait. An event heavier
  // than the whole capacity is still taken, once the queue is empty.
  explicit TSessionEventQueue(size_t capacityBytes = 4u << 20);
  TSessionEventQueue(const TSessionEventQueue&) = delete;
  TSessionEventQueue& operator=(const TSessionEventQueue&) = delete;

  // Appends the event, waiting while the queue is full (counted once per
  // push that had to wait). Returns false, leaving the event untaken, once
  // Close has been called.
  bool Push(TSessionEvent event);

  // Takes the oldest event, waiting up to timeoutMs (negative: no limit).
  // After RequestStop it returns a Stop event at once, every time.
  TPopResult Pop(TSessionEvent& out, int timeoutMs);
  // Takes the oldest event without waiting and without regard to a stop;
  // false when empty. The driver drains the queue with it at the end.
  bool TryPop(TSessionEvent& out);

  // Wakes every wait; see the file comment.
  void RequestStop();
  bool StopRequested() const { return Stopping.load(); }
  // From now on Push returns false; wakes waiting pushers.
  void Close();

  // Counters, readable from any thread.
  int64_t QueueFull() const { return FullCount.load(); }
  int64_t HighWaterBytes() const { return HighWater.load(); }
  int64_t FillBytes() const { return Fill.load(); }
  size_t CapacityBytes() const { return Capacity; }

 private:
  // Takes the oldest event (the queue is not empty) and unlocks `hold`.
  void TakeFront(TSessionEvent& out, std::unique_lock<std::mutex>& hold);

  const size_t Capacity;
  std::mutex Lock;
  int PushersWaiting = 0;  // under Lock: wake only who waits
  int PoppersWaiting = 0;
  std::condition_variable NotEmpty;
  std::condition_variable NotFull;
  std::deque<TSessionEvent> Events;
  bool Closed = false;
  std::atomic<bool> Stopping{false};
  std::atomic<int64_t> Fill{0};
  std::atomic<int64_t> HighWater{0};
  std::atomic<int64_t> FullCount{0};
};
