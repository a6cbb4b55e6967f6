// Placeholder until the watcher is built.
#include <stdexcept>

#include "plugin/Orvik7316MSDecode.h"

TMSWatcher::TMSWatcher(TOrvik7316MSDecode* decoder, int32_t waitTimeoutMs, int32_t markThreshold)
    : WatcherDecoder(decoder), WaitTimeout(waitTimeoutMs), MarkThreshold(markThreshold) {
  throw std::logic_error("The watcher is not yet available");
}

TMSWatcher::~TMSWatcher() = default;
void TMSWatcher::SetOnSilence(TSilenceEvent, void*) {}
void TMSWatcher::Poke() {}
void TMSWatcher::StopWatcher() {}
void TMSWatcher::Join() {}
void TMSWatcher::Execute() {}
