// Placeholder until this part of the decoder is built.
#include <stdexcept>

#include "plugin/Orvik7316MSDecode.h"

void TOrvik7316MSDecode::StampOnNewMark() {
  throw std::logic_error("StampOnNewMark is not yet available");
}

bool TOrvik7316MSDecode::StampFirstMark(const TPositionBlock&) {
  throw std::logic_error("StampFirstMark is not yet available");
}

bool TOrvik7316MSDecode::InterpolateMarks(const TPositionBlock&) {
  throw std::logic_error("InterpolateMarks is not yet available");
}

void TOrvik7316MSDecode::StampTail(const TPositionBlock&) {
  throw std::logic_error("StampTail is not yet available");
}

void TOrvik7316MSDecode::ReleaseUnstamped() {
  throw std::logic_error("ReleaseUnstamped is not yet available");
}

void TOrvik7316MSDecode::ResetPositions() {
  throw std::logic_error("ResetPositions is not yet available");
}

int32_t TOrvik7316MSDecode::HostRecordCount() const {
  throw std::logic_error("HostRecordCount is not yet available");
}

TTestDataRecord* TOrvik7316MSDecode::HostRecordAt(int32_t) const {
  throw std::logic_error("HostRecordAt is not yet available");
}

int32_t TOrvik7316MSDecode::LastStampedIndex() {
  throw std::logic_error("LastStampedIndex is not yet available");
}

void TOrvik7316MSDecode::NewPosition(const TPositionBlock&) {
  throw std::logic_error("NewPosition is not yet available");
}
