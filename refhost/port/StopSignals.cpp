#include "refhost/port/StopSignals.h"

#include <pthread.h>

TStopSignals::TStopSignals() {
  sigemptyset(&Set);
  sigaddset(&Set, SIGINT);
  sigaddset(&Set, SIGTERM);
  sigaddset(&Set, SIGUSR1);  // our own "quit waiting" at the end
  pthread_sigmask(SIG_BLOCK, &Set, &Old);
}

TStopSignals::~TStopSignals() {
  Stop();
  // A Ctrl-C that came while the work was ending is taken here, not
  // delivered as a kill once the mask is restored.
  const timespec none{};
  while (sigtimedwait(&Set, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &Old, nullptr);
}

void TStopSignals::Stop() {
  if (!Waiter.joinable()) return;
  pthread_kill(Waiter.native_handle(), SIGUSR1);
  Waiter.join();
}

void TStopSignals::Start(std::function<void()> onStop) {
  Waiter = std::thread([this, onStop = std::move(onStop)] {
    int signal = 0;
    while (sigwait(&Set, &signal) == 0 && signal != SIGUSR1) onStop();
  });
}
