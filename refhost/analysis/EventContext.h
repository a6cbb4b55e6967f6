// Where and when the record (or gap) that decides an event happened, and
// the event made from it. Internal to the analysis.
#pragma once

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
