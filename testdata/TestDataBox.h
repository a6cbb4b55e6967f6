// TTstDataBox: the list in which the decoder keeps the records it has decoded
// since the host last emptied it.
//
// The box holds record pointers; the records belong to the host's side of the
// exchange. The box never copies or inspects a record, and neither clearing
// nor destroying it releases any: only ReleaseRecord does, at the host's
// request. Indices 0..count-1 stay stable until ClearRecords.
//
// Threads: no lock; used only from calls into one decoder, which never overlap.
#pragma once

#include <cstdint>
#include <vector>

#include "testdata/DataAccessAPIUnit.h"

class TTstDataBox {
 public:
  TTstDataBox() = default;
  TTstDataBox(const TTstDataBox&) = delete;
  TTstDataBox& operator=(const TTstDataBox&) = delete;
  // Releases the pointer list, not the records.
  ~TTstDataBox() = default;

  // Appends the record (not copied, not owned) and returns its index, the
  // count before adding. Out of memory raises std::bad_alloc.
  int32_t AddRecord(TTestDataRecord* record);

  // Empties the list and gives back its storage; the records are not
  // released. Always true.
  bool ClearRecords();

  // The record at the index, or null when the index is not valid or the
  // record there has been released.
  TTestDataRecord* GetRecord(int32_t index) const;

  int32_t CountRecords() const;

  // True when 0 <= index < CountRecords().
  bool IsValidIndex(int32_t index) const;

  // Applies FreeTestData to the record at the index and sets the entry to
  // null, so the index reads as null afterwards and a second release does
  // nothing. The item stays in the list; other indices do not move. True
  // when the index held a record (FreeTestData itself leaves sentinels and
  // records with the static mark alone); false for an invalid index or an
  // entry already released.
  bool ReleaseRecord(int32_t index);

  // Set to 0 by construction and by ClearRecords; otherwise unused.
  int32_t Counter = 0;

 private:
  std::vector<TTestDataRecord*> Records;
};
