// Every field of a record as one line of text, for comparing records.
#pragma once

#include <cstdio>
#include <string>

#include "refhost/output/IsoTime.h"
#include "refhost/output/RecordValues.h"

namespace output_test {

inline std::string Numbers(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += (s.empty() ? "" : ",") + std::to_string(v);
  return s;
}

// Message identifier, mode, report values and layer-3 bytes.
inline std::string ValuesText(const THostRecord& r) {
  std::string s = FormatMessageId(r.MessageId) + (r.Dedicated ? " ded" : " idle");
  if (const auto& v = r.Idle)
    s += " I " + Numbers({v->Arfcn, v->Bsic, v->RxLev, v->C1, v->C2}) + " nb=" + FormatNeighbours(v->Neighbours);
  if (const auto& v = r.DedicatedReport)
    s += " D " + Numbers({v->Arfcn, v->Bsic, v->RxLevFull, v->RxLevSub, v->RxQualFull, v->RxQualSub,
                          v->TimingAdvance, v->TxPower}) +
         " nb=" + FormatNeighbours(v->Neighbours);
  if (!r.Layer3.empty()) s += " L3 " + ToHex(r.Layer3);
  return s;
}

// All of it: index, time stamps (to the millisecond), position and method,
// call state, values.
inline std::string RecordText(const THostRecord& r) {
  char position[64];
  std::snprintf(position, sizeof position, "%.12g,%.12g", r.Longitude, r.Latitude);
  return std::to_string(r.Index) + " " + FormatIsoTime(r.TimeStamp1, 0) + " " +
         FormatIsoTime(r.TimeStamp2, 0) + " " + position + " " + PositionMethodName(r.Method) +
         " " + CallStateName(r.CallState) + " " + ValuesText(r);
}

}  // namespace output_test
