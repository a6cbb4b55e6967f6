#include "refhost/core/HostPort.h"

#include "platform/DateTime.h"

void THostPort::SetClock(TDays now) {
  HeldTime.store(now);
  Held.store(true);
}

void THostPort::ReleaseClock() { Held.store(false); }

double THostPort::CurrentTime() { return Held.load() ? HeldTime.load() : LiveTime(); }

TDays THostPort::LiveTime() { return LocalDateTimeNow(); }
