// A lock for critical sections of a few dozen instructions: one atomic
// exchange to take it, one plain store to give it back. A thread that finds
// it held spins briefly, then yields, then sleeps, so a holder that lost its
// processor (or runs at a lower priority) always gets to finish.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

class TSpinLock {
 public:
  constexpr TSpinLock() noexcept = default;
  TSpinLock(const TSpinLock&) = delete;
  TSpinLock& operator=(const TSpinLock&) = delete;

  void lock() noexcept {
    while (FHeld.exchange(true, std::memory_order_acquire)) WaitWhileHeld();
  }
  void unlock() noexcept { FHeld.store(false, std::memory_order_release); }

 private:
  void WaitWhileHeld() noexcept {
    for (unsigned round = 0; FHeld.load(std::memory_order_relaxed); ++round) {
      if (round < 100) {
        Pause();
      } else if (round < 120) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
  }

  static void Pause() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
  }

  std::atomic<bool> FHeld{false};
};
