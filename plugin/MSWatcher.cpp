// TMSWatcher: notices a handset that has stopped sending test frames while
// GPS marks keep arriving.
//
// The thread object is owned by the decoder (not freed by the thread itself),
// so a watcher that ended on its own (a failed wait, a fault in OnSilence) or
// whose body never got past its first test is released exactly once, by the
// decoder, after it has been joined.
#include <algorithm>

#include "host/MarkSourceAccess.h"
#include "plugin/Orvik7316MSDecode.h"

TMSWatcher::TMSWatcher(TOrvik7316MSDecode* decoder, int32_t waitTimeoutMs, int32_t markThreshold,
                       TWaitableEvent* wakeEvent)
    : WatcherDecoder(decoder),
      WakeEvent(wakeEvent != nullptr ? wakeEvent : &SystemEvent),
      WaitTimeout(std::max<int32_t>(waitTimeoutMs, 0)),
      MarkThreshold(markThreshold),
      Thread(&TMSWatcher::Execute, this) {}

TMSWatcher::~TMSWatcher() {
  StopWatcher();
  Join();
}

void TMSWatcher::SetOnSilence(TSilenceEvent code, void* context) {
  // Context first: a thread that sees the new code also sees its context.
  OnSilenceContext.store(context);
  OnSilenceCode.store(code);
}

void TMSWatcher::Poke() { WakeEvent->Set(); }

void TMSWatcher::StopWatcher() {
  Terminated.store(true);
  Poke();
}

// Not from the watcher's own thread: an OnSilence handler must not release
// the watcher that calls it.
void TMSWatcher::Join() {
  if (Thread.joinable()) Thread.join();
}

void TMSWatcher::Execute() {
  try {
    while (!Terminated.load()) {
      const TWaitResult result = WakeEvent->Wait(static_cast<uint32_t>(WaitTimeout));
      if (result == TWaitResult::Signaled) {
        WakeEvent->Reset();
        continue;
      }
      if (result != TWaitResult::Timeout) break;
      if (Terminated.load() || WatcherDecoder == nullptr) continue;
      // Wrapping 32-bit difference: the counters are the host's.
      const uint32_t marks = static_cast<uint32_t>(MarkCount(WatcherDecoder->CurrentMarkSource()));
      const uint32_t last = static_cast<uint32_t>(WatcherDecoder->CurrentLastMarkCount());
      const int32_t ahead = static_cast<int32_t>(marks - last);
      const TSilenceEvent code = OnSilenceCode.load();
      if (ahead >= MarkThreshold && code != nullptr) code(OnSilenceContext.load(), this);
    }
  } catch (...) {
    // A fault in the handler ends the watcher; the decoder still joins and
    // releases it.
  }
}
