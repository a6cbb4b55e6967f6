// A manual-reset event: once Set, every wait returns Signaled until Reset.
//
// Threads: Set, Reset and Wait may be called from any thread at the same
// time. The event must outlive every call on it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

enum class TWaitResult { Signaled, Timeout, Failed };

// What a waiting thread waits on, with the clock its waits count on.
// TManualResetEvent uses the system's clock; tests pass their own to decide
// when a wait times out and what the time is.
class TWaitableEvent {
 public:
  virtual ~TWaitableEvent() = default;
  // Milliseconds since an arbitrary start, never going back; a wait that
  // times out has let `ms` of them pass, give or take the clock's
  // resolution. Cheap: no system call. Never throws.
  virtual int64_t NowMs() = 0;
  // Signals the event and wakes every waiter.
  virtual void Set() = 0;
  // Clears the signal; later waits block again.
  virtual void Reset() = 0;
  // Waits until the event is signalled or `ms` milliseconds have passed.
  // Returns Signaled (without clearing the signal), Timeout, or Failed when
  // the wait itself failed. Never throws.
  virtual TWaitResult Wait(uint32_t ms) = 0;
};

class TManualResetEvent final : public TWaitableEvent {
 public:
  TManualResetEvent() = default;  // not signalled
  TManualResetEvent(const TManualResetEvent&) = delete;
  TManualResetEvent& operator=(const TManualResetEvent&) = delete;

  int64_t NowMs() override;
  void Set() override;
  void Reset() override;
  TWaitResult Wait(uint32_t ms) override;

 private:
  std::mutex FMutex;
  std::condition_variable FCondition;
  // Read without the lock so that setting a set event costs no wake-up.
  std::atomic<bool> FSignaled{false};
};
