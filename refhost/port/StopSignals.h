// Ctrl-C and SIGTERM for a command that runs until stopped: taken by one
// thread of its own (sigwait), which asks the work to stop; no other thread
// ever sees them, so a stop never interrupts a write half-way.
//
// Threads: construct before any other thread starts (the mask is inherited);
// Start once; Stop (or the destructor) ends the waiting thread, and the
// destructor restores the mask.
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
  // Ends the waiting thread (after a running onStop has returned), so what
  // onStop uses may go. A Ctrl-C from now on is taken and ignored.
  void Stop();

 private:
  sigset_t Set{};
  sigset_t Old{};
  std::thread Waiter;
};
