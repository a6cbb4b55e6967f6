// A manual-reset event: once Set, every wait returns Signaled until Reset.
//
// Threads: Set, Reset and Wait may be called from any thread at the same
// time. The event must outlive every call on it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

enum class TWaitResult { Signaled, Timeout, Failed };

class TManualResetEvent {
 public:
  TManualResetEvent() = default;  // not signalled
  TManualResetEvent(const TManualResetEvent&) = delete;
  TManualResetEvent& operator=(const TManualResetEvent&) = delete;

  // Signals the event and wakes every waiter.
  void Set();
  // Clears the signal; later waits block again.
  void Reset();
  // Waits until the event is signalled or `ms` milliseconds have passed.
  // Returns Signaled (without clearing the signal), Timeout, or Failed when
  // the system's wait itself failed. Never throws.
  TWaitResult Wait(uint32_t ms);

 private:
  std::mutex FMutex;
  std::condition_variable FCondition;
  bool FSignaled = false;
};
