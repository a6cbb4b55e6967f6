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

// A frame must not wake another thread: that is a system call per frame.
void TMSWatcher::Poke() { LastPokeMs.store(WakeEvent->NowMs(), std::memory_order_relaxed); }

void TMSWatcher::StopWatcher() {
  Terminated.store(true);
  WakeEvent->Set();
}

// Not from the watcher's own thread: an OnSilence handler must not release
// the watcher that calls it.
void TMSWatcher::Join() {
  if (Thread.joinable()) Thread.join();
}

// A silent period is WaitTimeout without a poke, counted from the watcher's
// start, from the last poke, or from the end of the previous period. A
// watcher woken by every poke, waiting WaitTimeout afresh each time, sees its
// wait time out at exactly that moment. This one instead waits until the
// period would be complete, then looks at the time of the last poke: if a poke
// came meanwhile it waits for the rest, and only a period complete by the
// clock is silent. So OnSilence is called at the same moments (5 s after the
// last poke, then every further 5 s, to within a tick of the clock), a frame
// costs a clock read and a store, and StopWatcher, which still sets the
// event, ends the wait at once.
void TMSWatcher::Execute() {
  try {
    int64_t periodStart = WakeEvent->NowMs();
    while (!Terminated.load()) {
      const TWaitResult result = WakeEvent->Wait(MsLeft(periodStart));
      if (result == TWaitResult::Signaled) {
        WakeEvent->Reset();
        continue;
      }
      if (result != TWaitResult::Timeout) break;
      if (Terminated.load() || MsLeft(periodStart) > 0) continue;
      ReportSilence();
      periodStart = WakeEvent->NowMs();  // after the handler, as a fresh wait would begin
    }
  } catch (...) {
    // A fault in the handler ends the watcher; the decoder still joins and
    // releases it.
  }
}

uint32_t TMSWatcher::MsLeft(int64_t periodStart) {
  const int64_t since = std::max(periodStart, LastPokeMs.load(std::memory_order_relaxed));
  // A poke stamped after our clock read counts as now.
  const int64_t quiet = std::max<int64_t>(WakeEvent->NowMs() - since, 0);
  return static_cast<uint32_t>(std::max<int64_t>(WaitTimeout - quiet, 0));
}

void TMSWatcher::ReportSilence() {
  if (WatcherDecoder == nullptr) return;
  // Wrapping 32-bit difference: the counters are the host's.
  const uint32_t marks = static_cast<uint32_t>(MarkCount(WatcherDecoder->CurrentMarkSource()));
  const uint32_t last = static_cast<uint32_t>(WatcherDecoder->CurrentLastMarkCount());
  const int32_t ahead = static_cast<int32_t>(marks - last);
  const TSilenceEvent code = OnSilenceCode.load();
  if (ahead >= MarkThreshold && code != nullptr) code(OnSilenceContext.load(), this);
}
