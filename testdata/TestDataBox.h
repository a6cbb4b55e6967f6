// TTstDataBox: the list in which the decoder keeps the records it has decoded
// since the host last emptied it.
//
// The box holds record pointers; the records belong to the host's side of the
// exchange. The box never copies, inspects or releases a record: the decoder
// releases one at the host's request (slot 34) and has the box forget it.
// Indices 0..count-1 stay stable until ClearRecords.
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

  // Sets the entry at `index` to null when it holds `record`, otherwise every
  // entry that holds it, so a record about to be released is never handed
  // out again. Items stay in the list; no index moves; nothing is released.
  // Returns the number of entries cleared. A null record clears nothing.
  int32_t ForgetRecord(const TTestDataRecord* record, int32_t index);

  // Set to 0 by construction and by ClearRecords; otherwise unused.
  int32_t Counter = 0;

 private:
  std::vector<TTestDataRecord*> Records;
};
