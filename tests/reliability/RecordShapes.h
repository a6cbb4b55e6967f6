// Records of every shape for the reliability runs: every kind, any set of
// optional-block bits (bits that govern no block are carried as they are),
// the compact layout, the static mark. Built with the shared allocator as
// the host's libraries would build them, on top of the record tests' builder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testdata/DataAccessAPIUnit.h"

struct TRecordShape {
  uint8_t Kind = tdkGSM;            // 0..4
  bool Compact = false;             // entries and a block of BlockSize bytes instead
  bool StaticMark = false;
  uint16_t Flags = 0;               // kinds 0..3: the OptionalFlags wanted
  int32_t Items = 0;                // may be 0 or negative: owns nothing
  uint16_t BufferSize = 0;
  std::vector<uint16_t> EntryLengths;
  uint8_t Tags = 0;
  uint16_t BlockSize = 16;          // compact only; 0: no block
  uint32_t MessageWord = 0;
};

// A new record of that shape; the caller releases it with FreeTestData
// (after clearing the static mark). Out of memory raises std::bad_alloc and
// leaves nothing allocated.
TTestDataRecord* BuildShaped(const TRecordShape& shape);

// Where `copy` differs from `source` as a deep copy: a value byte or owned
// buffer that differs, or an owned buffer that is also the source's (or
// overlaps one). Empty when the copy is right.
std::string DeepCopyFault(const TTestDataRecord& source, const TTestDataRecord& copy);

// Every owned buffer's address range of a record, the record itself included.
struct TRange {
  uintptr_t Begin, End;
};
std::vector<TRange> OwnedRanges(const TTestDataRecord& record);
// True when no two ranges of `ranges` overlap.
bool Disjoint(std::vector<TRange> ranges);
