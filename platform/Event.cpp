#include "platform/Event.h"

#include <chrono>
#include <system_error>

void TManualResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FSignaled = true;
  }
  FCondition.notify_all();
}

void TManualResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(FMutex);
  FSignaled = false;
}

TWaitResult TManualResetEvent::Wait(uint32_t ms) {
  try {
    std::unique_lock<std::mutex> lock(FMutex);
    const bool signaled =
        FCondition.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FSignaled; });
    return signaled ? TWaitResult::Signaled : TWaitResult::Timeout;
  } catch (const std::system_error&) {
    return TWaitResult::Failed;
  }
}
