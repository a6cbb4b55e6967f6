#include "platform/Event.h"

#include <chrono>
#include <system_error>

#include "platform/MonotonicClock.h"

int64_t TManualResetEvent::NowMs() { return MonotonicMs(); }

void TManualResetEvent::Set() {
  // Already set: every waiter has been woken or returns at once.
  if (FSignaled.load()) return;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FSignaled.store(true);
  }
  FCondition.notify_all();
}

void TManualResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(FMutex);
  FSignaled.store(false);
}

TWaitResult TManualResetEvent::Wait(uint32_t ms) {
  try {
    std::unique_lock<std::mutex> lock(FMutex);
    const bool signaled =
        FCondition.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FSignaled.load(); });
    return signaled ? TWaitResult::Signaled : TWaitResult::Timeout;
  } catch (const std::system_error&) {
    return TWaitResult::Failed;
  }
}
