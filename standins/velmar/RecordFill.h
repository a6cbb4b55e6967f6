// Writes a parsed handset line into a test data record of kind GSM
// (layout: docs/handset-line-format.md).
#pragma once

#include "standins/velmar/HandsetLine.h"
#include "testdata/DataAccessAPIUnit.h"

namespace velmar {

// Flag bits, and where each value sits in its block.
constexpr unsigned IdleBlockBit = 0;
constexpr unsigned DedicatedBlockBit = 1;
constexpr std::size_t NeighbourOffset = 12;
constexpr std::size_t NeighbourSize = 4;

// True when the record is one this library may refill: a heap record (not a
// sentinel, no static mark) of kind GSM in the full layout.
bool IsFillableRecord(const TTestDataRecord* record);

// Replaces the record's sub-record by one holding `line` and sets
// MessageWord and, for reports, HostSetting. The new sub-record is built
// completely before the old one is released, so on std::bad_alloc the record
// is as it was. Requires IsFillableRecord(&record).
void FillRecord(TTestDataRecord& record, const THandsetLine& line);

}  // namespace velmar
