// Ctrl-C and SIGTERM for a command that runs until stopped: taken by one
// thread of its own (sigwait), which asks the work to stop; no other thread
// ever sees them, so a stop never interrupts a write half-way.
//
// Threads: construct before any other thread starts (the mask is inherited);
// Start once; the destructor ends the waiting thread and restores the mask.
#pragma once

#include <signal.h>

#include <functional>
#include <thread>

class TStopSignals {
 public:
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // Starts the waiting thread; onStop runs on it at every Ctrl-C or SIGTERM.
  void Start(std::function<void()> onStop);

 private:
  sigset_t Set{};
  sigset_t Old{};
  std::thread Waiter;
};
