// The test data record: the unit in which one decoded measurement travels
// between the plug-in and the host.
//
// Exchange format. The host's libraries read and write these structures in
// place, so every width, offset and bit is fixed: all structures are packed
// (no alignment gaps), little-endian, built from fixed-width fields. The
// 32-bit host has 4-byte pointers, and the offsets written next to the fields
// are those of the 32-bit layout. A 64-bit build keeps the same field order
// with 8-byte pointers: every offset then grows by 4 bytes for each pointer
// that lies before it, and every size by 4 bytes for each pointer inside.
// The static_asserts in DataAccessAPIUnit.cpp pin both forms.
//
// Memory. A record owns its header, its sub-record and every buffer that its
// counts, sizes and flags mark as present. All of it comes from the host's
// shared memory manager (host/SharedMM.h), because a buffer may be allocated
// on one side of the plug-in boundary and released on the other; nothing here
// uses the C++ heap for such memory.
//
// Threads: the operations take no lock and share nothing but the read-only
// templates and sentinels; one record must not be worked on from two threads
// at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "testdata/CoverageFields.h"

#pragma pack(push, 1)

// A variable-length entry: 10 opaque bytes, then a counted data buffer that
// the entry owns when Length > 0.
struct TVarEntry {
  uint8_t Fixed[10];  // +0
  uint16_t Length;    // +10
  uint8_t* Data;      // +12, Length bytes
};                    // 16 bytes

struct TVarEntryList {
  uint8_t EntryCount;  // +0
  TVarEntry* Entries;  // +1, EntryCount entries, owned when EntryCount > 0
};                     // 5 bytes

// Both buffers are owned when TagCount > 0.
struct TTaggedList {
  uint8_t TagCount;  // +0
  uint8_t* Tags;     // +1, TagCount bytes
  uint8_t* Details;  // +5, TagCount x TaggedDetailSize bytes
};                   // 9 bytes

struct TSizedBuffer {
  uint16_t Size;  // +0
  uint8_t* Data;  // +2, Size bytes, owned when Size > 0
};                // 6 bytes

// A zero or negative count owns nothing.
struct TItem24Array {
  int32_t ItemCount;  // +0
  uint8_t* ItemData;  // +4, ItemCount x Item24Size bytes
};                    // 8 bytes

// Kind 0. Optional block n is owned when bit n of OptionalFlags is set; its
// size comes from OptionalBlockSize.
struct TGSMKindData {
  TSizedBuffer Buffer;       // +0
  TVarEntryList Entries;     // +6
  TTaggedList Tagged;        // +11
  uint16_t OptionalFlags;    // +20, bits 0-4
  void* OptionalBlocks[5];   // +22, +26, +30, +34, +38
};                           // 42 bytes

// Kinds 1-3 share their first 34 bytes.
struct TKind1Data {
  uint8_t Plain[4];          // +0, opaque, copied unchanged
  TItem24Array Items;        // +4
  TSizedBuffer Buffer;       // +12
  TVarEntryList Entries;     // +18
  TTaggedList Tagged;        // +23
  uint16_t OptionalFlags;    // +32, bits 0-5
  void* OptionalBlocks[6];   // +34 .. +54
};                           // 58 bytes

// Kinds 2 and 3 share this layout. In kind 3 the slot of bit 4 (+50) holds
// four plain bytes instead of a pointer: copied unchanged, never released.
struct TKind2Data {
  uint8_t Plain[4];          // +0
  TItem24Array Items;        // +4
  TSizedBuffer Buffer;       // +12
  TVarEntryList Entries;     // +18
  TTaggedList Tagged;        // +23
  uint16_t OptionalFlags;    // +32, kind 2: bits 0-8, kind 3: bits 0-3 and 5-8
  void* OptionalBlocks[9];   // +34 .. +66
};                           // 70 bytes
using TKind3Data = TKind2Data;

// Kind 4: as many values as the PHS coverage field enumeration has members.
struct TPHSKindData {
  TVarEntryList Entries;     // +0
  int32_t Values[5];         // +5, +9, +13, +17, +21
};                           // 25 bytes

// Used instead of the kind's sub-record when HeaderWord bit 27 is set. The
// block's size is known only to the host's libraries.
struct TCompactKindData {
  TVarEntryList Entries;     // +0
  void* Block;               // +5
};                           // 9 bytes

struct TTestDataRecord {
  uint8_t LeadByte;           // +0, opaque
  uint32_t HeaderWord;        // +1, see the HeaderWord constants below
  double TimeStamp1;          // +5, host clock when the record was decoded (days)
  double TimeStamp2;          // +13, host clock read right after TimeStamp1
  double PositionX;           // +21
  double PositionY;           // +29
  uint8_t StateByte;          // +37
  uint8_t SpareByte;          // +38, opaque
  uint8_t ReportedStateByte;  // +39
  uint8_t HostSetting;        // +40
  uint32_t MessageWord;       // +41, low 12 bits: message identifier
  void* KindData;             // +45, sub-record or null
};                            // 49 bytes

#pragma pack(pop)

// Marks a time, position or measurement that has not been set.
constexpr double NoValue = -9999.0;
constexpr int32_t NoValueInt = -9999;

enum TTestDataKind : uint8_t { tdkGSM = 0, tdkKind1, tdkKind2, tdkKind3, tdkPHS };
constexpr uint8_t MaxTestDataKind = tdkPHS;

// HeaderWord bits.
constexpr uint32_t hwStaticMark = 0x80000000u;  // never released; cleared in copies
constexpr int hwKindShift = 28;                 // bits 28-30: the kind, 0..7
constexpr uint32_t hwKindMask = 0x70000000u;
constexpr uint32_t hwCompactLayout = 0x08000000u;  // KindData is a TCompactKindData

constexpr std::size_t Item24Size = 24;
constexpr std::size_t TaggedDetailSize = 12;
constexpr unsigned MaxOptionalBlocks = 9;

inline uint8_t KindOf(const TTestDataRecord& r) {
  return static_cast<uint8_t>((r.HeaderWord & hwKindMask) >> hwKindShift);
}
inline uint16_t MessageIdOf(const TTestDataRecord& r) {
  return static_cast<uint16_t>(r.MessageWord & 0xFFFu);
}

// Size of the kind's sub-record, or 0 for kinds above 4.
std::size_t KindDataSize(uint8_t kind);
// Size of the optional block that flag bit `bit` governs in the kind's
// sub-record, or 0 when the kind has no block for that bit.
std::size_t OptionalBlockSize(uint8_t kind, unsigned bit);

// Templates: the header (four doubles NoValue, everything else zero) and one
// sub-record per kind 0..4 (KindDataSize(kind) bytes; null above 4).
extern const TTestDataRecord TestDataHeaderTemplate;
const void* KindDataTemplate(uint8_t kind);

// Constant records that never come from the heap, recognised by their
// addresses only. Each carries the static mark; bytes from +45 on are not a
// valid KindData pointer, so nothing may follow it.
extern const TTestDataRecord* const NoTestData1;
extern const TTestDataRecord* const NoTestData2;
extern const TTestDataRecord* const NoTestData3;

// A new record of the kind with its template sub-record; the caller owns it
// and releases it with FreeTestData. Null when kind > 4. Out of memory
// raises std::bad_alloc.
TTestDataRecord* NewTestData(uint8_t kind);

// Overwrites the header with the template and attaches a fresh template
// sub-record of the kind. A sub-record the record held before is NOT
// released, so use it only on fresh memory. Null record or kind > 4: nothing.
void ResetTestData(TTestDataRecord* record, uint8_t kind);

// A new record equal to `source` (not null) with the static mark cleared;
// the caller owns it and releases it with FreeTestData. Kinds 0-4 are copied
// deeply and share nothing with the source; kinds 5-7 share the source's
// KindData. A compact-layout source yields a compact copy whose entry list
// is deep-copied and whose block of unknown size is left out (null). A
// sentinel source yields a copy with the template sub-record. Out of memory
// raises std::bad_alloc after releasing whatever part of the copy was
// already built, so nothing is left allocated.
TTestDataRecord* CopyTestData(const TTestDataRecord* source);

// Releases the record and everything it owns. Null, the sentinels and
// records carrying the static mark are left alone.
void FreeTestData(TTestDataRecord* record);

// True when FreeTestData would release the record: a real record (see
// IsRealTestData) without the static mark.
bool IsReleasableTestData(const TTestDataRecord* record);

// Releases only the sub-record and its buffers (used by FreeTestData) and
// sets KindData to null. Null, sentinels, records carrying the static mark,
// records without KindData and kinds 5-7 (outside the compact layout) are
// left alone.
void FreeKindData(TTestDataRecord* record);

// True when the pointer is not null and is none of the sentinels.
bool IsRealTestData(const TTestDataRecord* record);
// True when IsRealTestData holds and KindData is not null.
bool HasKindData(const TTestDataRecord* record);
