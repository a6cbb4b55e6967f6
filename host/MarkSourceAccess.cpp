#include "host/MarkSourceAccess.h"

#include <atomic>
#include <cstring>

namespace {
constexpr double NoPosition = -9999.0;
}

int32_t MarkCount(const TGPSMarkSource* source) {
  if (!source || !source->MarkCounter) return 0;
  return std::atomic_ref<const int32_t>(*source->MarkCounter).load(std::memory_order_acquire);
}

TPositionBlock GetLastMark(const TGPSMarkSource* source) {
  TPositionBlock mark{NoPosition, NoPosition, NoPosition};
  if (source && source->LatestMark) std::memcpy(&mark, source->LatestMark, sizeof mark);
  return mark;
}

TPositionPair GetLastMarkPosition(const TGPSMarkSource* source) {
  const TPositionBlock mark = GetLastMark(source);
  return {mark.X, mark.Y};
}

bool IsReplay(const TGPSMarkSource* source) {
  return source && SharedStrLength(source->ReplayFileName) > 0;
}
