// Where and when the record (or gap) that decides an event happened, and
// the event made from it. Internal to the analysis.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "refhost/core/SessionTypes.h"

struct TEventContext {
  TDays Time = 0;
  double Longitude = -9999.0;
  double Latitude = -9999.0;
  int64_t Record = -1;  // the deciding record's index; the last one before a gap
};

inline TDriveEvent MakeEvent(TEventKind kind, const TEventContext& at, const TServingCell& cell) {
  TDriveEvent e;
  e.Kind = kind;
  e.Time = at.Time;
  e.Longitude = at.Longitude;
  e.Latitude = at.Latitude;
  e.Cell = cell;
  e.FirstRecord = e.LastRecord = at.Record;
  return e;
}

using TEventList = std::vector<TDriveEvent>;

// Seconds from `from` to `to`, on the millisecond each time is written with
// (rounded as the outputs round it), so a session read back from its JSON
// Lines gives the same figures as the session itself.
inline int64_t MillisecondOf(TDays t) {
  const int64_t us = std::llround(t * 86400e6);
  const int64_t shifted = us + 500;
  return shifted >= 0 ? shifted / 1000 : -((-shifted + 999) / 1000);
}
inline double SecondsBetween(TDays from, TDays to) {
  return static_cast<double>(MillisecondOf(to) - MillisecondOf(from)) / 1000.0;
}
