// GPS positions onto the host's stored records.
//
// The host keeps this device's records in a store of its own, reached by
// index through two callbacks. A new fix (slot 44) gives the records that
// arrived since the previous fix positions spread linearly, by record index,
// from the previous fix to the new one; records waiting when the first fix of
// a test arrives all get that fix. FirstUnstamped marks the first record
// whose position is not final yet.
//
// Runs on the host thread that calls slot 44, without locks; the only other
// reader is the watcher thread, which loads LastMarkCount. Nothing here
// allocates, and nothing here throws unless a host callback does.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "platform/DateTime.h"
#include "plugin/Orvik7316MSDecode.h"
#include "serial/Orvik7316Cmd.h"
#include "testdata/DataAccessAPIUnit.h"

namespace {

// Two mark times closer than this (days) are the same mark.
constexpr double SameMarkDays = 1e-12;

static_assert(offsetof(TTestDataRecord, PositionY) ==
                  offsetof(TTestDataRecord, PositionX) + sizeof(double),
              "the position pair is written as one block");
static_assert(sizeof(TPositionPair) == 2 * sizeof(double));

// The record header is packed, so the pair may sit at any address: write it
// through bytes, never through a double reference.
void SetRecordPosition(TTestDataRecord* record, double x, double y) {
  const TPositionPair pair{x, y};
  std::memcpy(reinterpret_cast<unsigned char*>(record) + offsetof(TTestDataRecord, PositionX),
              &pair, sizeof pair);
}

}  // namespace

int32_t TOrvik7316MSDecode::HostRecordCount() const {
  if (!RecordCountCallback.Code) return 0;
  // A negative count from the host means an empty store.
  return std::max<int32_t>(0, RecordCountCallback.Code(RecordCountCallback.Context, DeviceNumber));
}

TTestDataRecord* TOrvik7316MSDecode::HostRecordAt(int32_t index) const {
  if (!RecordAtCallback.Code || index < MinRecordIndex) return nullptr;
  // The store may change between accesses: bound every access afresh.
  if (index >= HostRecordCount()) return nullptr;
  return RecordAtCallback.Code(RecordAtCallback.Context, DeviceNumber, index);
}

void TOrvik7316MSDecode::NewPosition(const TPositionBlock& block) {
  const TPositionBlock fix = block;
  if (!MarkSource.load()) return;  // nothing to take the mark from
  if (fix.Time <= 0.0) return;
  // More than half a second newer than the last mark used (NaN is not).
  if (!SpanExceeds(fix.Time - LastBlock.Time, HalfSecondDays)) return;
  StampOnNewMark();
}

void TOrvik7316MSDecode::StampOnNewMark() {
  const TGPSMarkSource* source = MarkSource.load();
  LastMarkCount.store(LastMarkCount.load() == 0 ? 1 : MarkCount(source));

  const TPositionPair position = GetLastMarkPosition(source);
  if (CurrentRecord) SetRecordPosition(CurrentRecord, position.X, position.Y);

  bool stamped = false;
  const int32_t count = HostRecordCount();
  if (LastMarkCount.load() == 1) {
    if (count > FirstUnstamped) {
      stamped = StampFirstMark(GetLastMark(source));
    } else {
      // Nothing was waiting: the next accepted fix counts as a first one again.
      LastMarkCount.store(0);
    }
  } else if (count > FirstUnstamped) {
    stamped = InterpolateMarks(GetLastMark(source));
  }

  if (stamped) {
    LastBlock = GetLastMark(source);
    if (CurrentRecord) SetRecordPosition(CurrentRecord, LastBlock.X, LastBlock.Y);
    PositionsChanged = true;
  }
}

bool TOrvik7316MSDecode::StampFirstMark(const TPositionBlock& mark) {
  const int32_t count = StampFrom(FirstUnstamped, mark);
  // Never back: a store that shrank in the meantime must not reopen final records.
  FirstUnstamped = std::max(FirstUnstamped, count);
  StampTail(mark);
  return true;
}

bool TOrvik7316MSDecode::InterpolateMarks(const TPositionBlock& mark) {
  if (std::fabs(mark.Time - LastBlock.Time) < SameMarkDays) {
    // The source still holds the mark already used.
    LastMarkCount.store(MarkCount(MarkSource.load()));
    return false;
  }
  const double dX = mark.X - LastBlock.X;
  const double dY = mark.Y - LastBlock.Y;
  const int32_t last = HostRecordCount() - 1;

  double firstTime = 0.0;
  bool found = false;
  for (int32_t i = FirstUnstamped; i <= last; ++i) {
    if (const TTestDataRecord* record = HostRecordAt(i)) {
      FirstUnstamped = i;
      firstTime = record->TimeStamp2;
      found = true;
      break;
    }
  }
  if (!found) return false;

  const int32_t first = FirstUnstamped;
  for (int32_t i = first; i <= last; ++i) {
    TTestDataRecord* record = HostRecordAt(i);
    if (!record) continue;
    // Older than the first waiting record: it belongs to an earlier stretch.
    if (record->TimeStamp2 - firstTime < 0.0) continue;
    if (last > first) {
      // By index only: the records' own times do not matter.
      const double h = static_cast<double>(i - first) / static_cast<double>(last - first);
      SetRecordPosition(record, dX * h + LastBlock.X, dY * h + LastBlock.Y);
    } else {
      SetRecordPosition(record, mark.X, mark.Y);
    }
  }
  FirstUnstamped = last + 1;
  StampTail(mark);
  return true;
}

void TOrvik7316MSDecode::StampTail(const TPositionBlock& mark) {
  // Records that arrived during the pass get the new mark for now; they stay
  // waiting and are interpolated at the next mark.
  StampFrom(FirstUnstamped, mark);
}

int32_t TOrvik7316MSDecode::StampFrom(int32_t first, const TPositionBlock& mark) {
  const int32_t count = HostRecordCount();
  for (int32_t i = first; i < count; ++i) {
    if (TTestDataRecord* record = HostRecordAt(i)) SetRecordPosition(record, mark.X, mark.Y);
  }
  return count;
}

void TOrvik7316MSDecode::ReleaseUnstamped() {
  const int32_t count = HostRecordCount();
  if (count > FirstUnstamped) {
    FirstUnstamped = count;
    PositionsChanged = true;
  }
}

void TOrvik7316MSDecode::ResetPositions() {
  if (!MarkSource.load()) return;
  LastBlock = TPositionBlock{NoValue, NoValue, 0.0};
  LastMarkCount.store(0);
}

int32_t TOrvik7316MSDecode::LastStampedIndex() {
  PositionsChanged = false;
  return FirstUnstamped - 1;
}
