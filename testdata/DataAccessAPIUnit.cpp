#include "testdata/DataAccessAPIUnit.h"

#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <new>

#include "host/SharedAlloc.h"

// ---------------------------------------------------------------------------
// Coverage field tables. They live in this unit, which every user of records
// links, so that the plug-in library holds them although none of its own
// operations refers to them (a unit of their own would be dropped by the
// linker). Constant-initialised (empty vectors need no code at load) and
// destroyed at unload in the reverse of the order they are defined here,
// which is the release order the host expects: CoverageParams,
// CoverageParamSets (each set with its arrays), ExtraCoverFields5 down to
// ExtraCoverFields1, CDMACoverFields, GSMCoverFields. Keep the definitions
// in this order and in this one file.
constinit TGSMCoverFieldNos GSMCoverFields;
constinit TCDMACoverFieldNos CDMACoverFields;
constinit TPHSCoverFieldNos ExtraCoverFields1;
constinit TPHSCoverFieldNos ExtraCoverFields2;
constinit TPHSCoverFieldNos ExtraCoverFields3;
constinit TPHSCoverFieldNos ExtraCoverFields4;
constinit TPHSCoverFieldNos ExtraCoverFields5;
constinit std::array<TCoverageParamSet, CoverageParamSetCount> CoverageParamSets;
constinit std::array<TCoverageParamArray, CoverageParamCount> CoverageParams;

static_assert(sizeof(TGSMCoverFieldNo) == 1 && sizeof(TCDMACoverFieldNo) == 1 &&
              sizeof(TPHSCoverFieldNo) == 1);
static_assert(GSMCoverFieldCount == 150 && CDMACoverFieldCount == 129 && PHSCoverFieldCount == 5);
static_assert(sizeof(TCoverageParam) == 8);

// ---------------------------------------------------------------------------
// Layout pins. Expected offsets are those of the 32-bit host plus 4 bytes for
// every pointer before the field on a build with 8-byte pointers.

static_assert(std::endian::native == std::endian::little, "the exchange format is little-endian");
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);
static_assert(sizeof(double) == 8);

namespace {
constexpr std::size_t At(std::size_t offset32, std::size_t pointersBefore) {
  return offset32 + (sizeof(void*) - 4) * pointersBefore;
}
}  // namespace

static_assert(sizeof(TVarEntry) == At(16, 1));
static_assert(offsetof(TVarEntry, Fixed) == 0 && offsetof(TVarEntry, Length) == 10 &&
              offsetof(TVarEntry, Data) == 12);
static_assert(sizeof(TVarEntryList) == At(5, 1));
static_assert(offsetof(TVarEntryList, EntryCount) == 0 && offsetof(TVarEntryList, Entries) == 1);
static_assert(sizeof(TTaggedList) == At(9, 2));
static_assert(offsetof(TTaggedList, TagCount) == 0 && offsetof(TTaggedList, Tags) == 1 &&
              offsetof(TTaggedList, Details) == At(5, 1));
static_assert(sizeof(TSizedBuffer) == At(6, 1));
static_assert(offsetof(TSizedBuffer, Size) == 0 && offsetof(TSizedBuffer, Data) == 2);
static_assert(sizeof(TItem24Array) == At(8, 1));
static_assert(offsetof(TItem24Array, ItemCount) == 0 && offsetof(TItem24Array, ItemData) == 4);

static_assert(sizeof(TGSMKindData) == At(42, 9));
static_assert(offsetof(TGSMKindData, Buffer) == 0);
static_assert(offsetof(TGSMKindData, Entries) == At(6, 1));
static_assert(offsetof(TGSMKindData, Tagged) == At(11, 2));
static_assert(offsetof(TGSMKindData, OptionalFlags) == At(20, 4));
static_assert(offsetof(TGSMKindData, OptionalBlocks) == At(22, 4));

static_assert(sizeof(TKind1Data) == At(58, 11));
static_assert(sizeof(TKind2Data) == At(70, 14));
static_assert(sizeof(TKind3Data) == At(70, 14));
static_assert(offsetof(TKind1Data, Plain) == 0 && offsetof(TKind2Data, Plain) == 0);
static_assert(offsetof(TKind1Data, Items) == 4 && offsetof(TKind2Data, Items) == 4);
static_assert(offsetof(TKind1Data, Buffer) == At(12, 1) && offsetof(TKind2Data, Buffer) == At(12, 1));
static_assert(offsetof(TKind1Data, Entries) == At(18, 2) && offsetof(TKind2Data, Entries) == At(18, 2));
static_assert(offsetof(TKind1Data, Tagged) == At(23, 3) && offsetof(TKind2Data, Tagged) == At(23, 3));
static_assert(offsetof(TKind1Data, OptionalFlags) == At(32, 5) &&
              offsetof(TKind2Data, OptionalFlags) == At(32, 5));
static_assert(offsetof(TKind1Data, OptionalBlocks) == At(34, 5) &&
              offsetof(TKind2Data, OptionalBlocks) == At(34, 5));

static_assert(sizeof(TPHSKindData) == At(25, 1));
static_assert(offsetof(TPHSKindData, Entries) == 0 && offsetof(TPHSKindData, Values) == At(5, 1));
static_assert(sizeof(TCompactKindData) == At(9, 2));
static_assert(offsetof(TCompactKindData, Entries) == 0 && offsetof(TCompactKindData, Block) == At(5, 1));

static_assert(sizeof(TTestDataRecord) == At(49, 1));
static_assert(offsetof(TTestDataRecord, LeadByte) == 0);
static_assert(offsetof(TTestDataRecord, HeaderWord) == 1);
static_assert(offsetof(TTestDataRecord, TimeStamp1) == 5);
static_assert(offsetof(TTestDataRecord, TimeStamp2) == 13);
static_assert(offsetof(TTestDataRecord, PositionX) == 21);
static_assert(offsetof(TTestDataRecord, PositionY) == 29);
static_assert(offsetof(TTestDataRecord, StateByte) == 37);
static_assert(offsetof(TTestDataRecord, SpareByte) == 38);
static_assert(offsetof(TTestDataRecord, ReportedStateByte) == 39);
static_assert(offsetof(TTestDataRecord, HostSetting) == 40);
static_assert(offsetof(TTestDataRecord, MessageWord) == 41);
static_assert(offsetof(TTestDataRecord, KindData) == 45);

namespace {

// ---------------------------------------------------------------------------
// Per-kind layout, so that copy and release walk one table instead of five
// hand-written variants. Every field is reached through memcpy at its offset:
// the structures are packed and nothing in them may be referenced directly.

constexpr std::size_t None = static_cast<std::size_t>(-1);

struct TKindLayout {
  std::size_t Size;
  std::size_t Items;    // TItem24Array, or None
  std::size_t Buffer;   // TSizedBuffer, or None
  std::size_t Entries;  // TVarEntryList
  std::size_t Tagged;   // TTaggedList, or None
  std::size_t Flags;    // OptionalFlags, or None
  std::size_t Blocks;   // first optional block pointer
  std::array<uint16_t, MaxOptionalBlocks> BlockSizes;  // by flag bit; 0: no block
};

template <class T>
constexpr TKindLayout Kind123(std::array<uint16_t, MaxOptionalBlocks> sizes) {
  return {sizeof(T),
          offsetof(T, Items),
          offsetof(T, Buffer),
          offsetof(T, Entries),
          offsetof(T, Tagged),
          offsetof(T, OptionalFlags),
          offsetof(T, OptionalBlocks),
          sizes};
}

constexpr std::array<TKindLayout, MaxTestDataKind + 1> Layouts{{
    {sizeof(TGSMKindData), None, offsetof(TGSMKindData, Buffer), offsetof(TGSMKindData, Entries),
     offsetof(TGSMKindData, Tagged), offsetof(TGSMKindData, OptionalFlags),
     offsetof(TGSMKindData, OptionalBlocks), {260, 44, 116, 104, 673, 0, 0, 0, 0}},
    Kind123<TKind1Data>({92, 72, 44, 164, 68, 673, 0, 0, 0}),
    Kind123<TKind2Data>({124, 24, 52, 72, 72, 256, 116, 104, 673}),
    // Bit 4 of kind 3 is four plain bytes, not a block.
    Kind123<TKind3Data>({364, 24, 52, 176, 0, 256, 116, 104, 673}),
    {sizeof(TPHSKindData), None, None, offsetof(TPHSKindData, Entries), None, None, None, {}},
}};

// Blocks never reach past the pointer slots their sub-record has.
static_assert(Layouts[0].Blocks + 5 * sizeof(void*) == Layouts[0].Size);
static_assert(Layouts[1].Blocks + 6 * sizeof(void*) == Layouts[1].Size);
static_assert(Layouts[2].Blocks + 9 * sizeof(void*) == Layouts[2].Size);

template <class T>
T Load(const void* base, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}

template <class T>
void Store(void* base, std::size_t offset, T value) {
  std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

// count x size in bytes; a product the address space cannot hold is an
// allocation that cannot succeed.
std::size_t BytesFor(std::size_t count, std::size_t size) {
  if (count > std::numeric_limits<std::size_t>::max() / size) throw std::bad_alloc();
  return count * size;
}

void* CopyBuffer(const void* source, std::size_t size) { return SharedAllocCopy(source, size); }

// ---------------------------------------------------------------------------
// Templates and sentinels.

constexpr TTestDataRecord HeaderTemplate{0, 0, NoValue, NoValue, NoValue, NoValue, 0, 0, 0, 0, 0, nullptr};

constexpr uint8_t ZeroTemplate[sizeof(TKind2Data)] = {};
static_assert(sizeof(TKind2Data) >= sizeof(TGSMKindData) && sizeof(TKind2Data) >= sizeof(TKind1Data));

constexpr TPHSKindData PHSTemplate{{0, nullptr}, {NoValueInt, NoValueInt, NoValueInt, NoValueInt, NoValueInt}};

// The sentinels as byte images: 45 common bytes (static mark, four doubles
// NoValue) and a tail of their own, padded with zeros to at least a full
// header so that a header-sized read of one stays inside it.
constexpr std::size_t SentinelHead = 45;

template <std::size_t N>
constexpr std::array<uint8_t, N> SentinelImage(std::array<uint8_t, 8> tail, std::size_t tailLength) {
  std::array<uint8_t, N> image{};
  const auto word = std::bit_cast<std::array<uint8_t, 4>>(hwStaticMark);
  for (std::size_t i = 0; i < 4; ++i) image[1 + i] = word[i];
  const auto value = std::bit_cast<std::array<uint8_t, 8>>(NoValue);
  for (std::size_t d = 0; d < 4; ++d)
    for (std::size_t i = 0; i < 8; ++i) image[5 + 8 * d + i] = value[i];
  for (std::size_t i = 0; i < tailLength; ++i) image[SentinelHead + i] = tail[i];
  return image;
}

constexpr std::size_t SentinelSize(std::size_t size32) {
  return size32 > sizeof(TTestDataRecord) ? size32 : sizeof(TTestDataRecord);
}

constexpr auto MinusNineNineNineNine = std::bit_cast<std::array<uint8_t, 4>>(NoValueInt);

// The image and the record view of one sentinel; pointing at the view is an
// address constant, so the sentinels are fixed before any code runs.
template <std::size_t N>
union TSentinel {
  std::array<uint8_t, N> Bytes;
  TTestDataRecord Record;
};

alignas(8) constexpr TSentinel<SentinelSize(49)> Sentinel1{SentinelImage<SentinelSize(49)>({0, 0, 0, 0}, 4)};
alignas(8) constexpr TSentinel<SentinelSize(50)> Sentinel2{
    SentinelImage<SentinelSize(50)>({255, 0, 0, 0, 0}, 5)};
alignas(8) constexpr TSentinel<SentinelSize(53)> Sentinel3{SentinelImage<SentinelSize(53)>(
    {MinusNineNineNineNine[0], MinusNineNineNineNine[1], MinusNineNineNineNine[2],
     MinusNineNineNineNine[3], MinusNineNineNineNine[0], MinusNineNineNineNine[1],
     MinusNineNineNineNine[2], MinusNineNineNineNine[3]},
    8)};

// ---------------------------------------------------------------------------
// Owned parts. Copies are built so that the copy is consistent at every step:
// a part's count, size or flag is set only once its buffer exists, so a copy
// interrupted by exhausted memory can be released with FreeTestData.

void ReleaseEntryList(void* sub, std::size_t at) {
  const auto count = Load<uint8_t>(sub, at + offsetof(TVarEntryList, EntryCount));
  if (count == 0) return;
  auto* entries = Load<uint8_t*>(sub, at + offsetof(TVarEntryList, Entries));
  for (std::size_t i = 0; i < count; ++i) {
    uint8_t* entry = entries + i * sizeof(TVarEntry);
    if (Load<uint16_t>(entry, offsetof(TVarEntry, Length)) > 0)
      SharedRelease(Load<void*>(entry, offsetof(TVarEntry, Data)));
  }
  SharedRelease(entries);
}

// Expects the copy's list to be empty (count 0).
void CopyEntryList(const void* source, void* copy, std::size_t at) {
  const auto count = Load<uint8_t>(source, at + offsetof(TVarEntryList, EntryCount));
  Store<void*>(copy, at + offsetof(TVarEntryList, Entries), nullptr);
  if (count == 0) return;
  const auto* from = Load<const uint8_t*>(source, at + offsetof(TVarEntryList, Entries));
  auto* to = static_cast<uint8_t*>(SharedAlloc(count * sizeof(TVarEntry)));
  Store(copy, at + offsetof(TVarEntryList, Entries), to);
  Store(copy, at + offsetof(TVarEntryList, EntryCount), count);
  // Zero-filled entries own nothing until their Length is set.
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t* src = from + i * sizeof(TVarEntry);
    uint8_t* dst = to + i * sizeof(TVarEntry);
    std::memcpy(dst + offsetof(TVarEntry, Fixed), src + offsetof(TVarEntry, Fixed),
                sizeof(TVarEntry::Fixed));
    const auto length = Load<uint16_t>(src, offsetof(TVarEntry, Length));
    if (length == 0) continue;
    Store(dst, offsetof(TVarEntry, Data), CopyBuffer(Load<const void*>(src, offsetof(TVarEntry, Data)), length));
    Store(dst, offsetof(TVarEntry, Length), length);
  }
}

void ReleaseKindParts(void* sub, const TKindLayout& k) {
  if (k.Flags != None) {
    const auto flags = Load<uint16_t>(sub, k.Flags);
    for (unsigned bit = 0; bit < MaxOptionalBlocks; ++bit)
      if (k.BlockSizes[bit] != 0 && (flags & (1u << bit)))
        SharedRelease(Load<void*>(sub, k.Blocks + bit * sizeof(void*)));
  }
  if (k.Items != None && Load<int32_t>(sub, k.Items + offsetof(TItem24Array, ItemCount)) > 0)
    SharedRelease(Load<void*>(sub, k.Items + offsetof(TItem24Array, ItemData)));
  if (k.Buffer != None && Load<uint16_t>(sub, k.Buffer + offsetof(TSizedBuffer, Size)) > 0)
    SharedRelease(Load<void*>(sub, k.Buffer + offsetof(TSizedBuffer, Data)));
  if (k.Tagged != None && Load<uint8_t>(sub, k.Tagged + offsetof(TTaggedList, TagCount)) > 0) {
    SharedRelease(Load<void*>(sub, k.Tagged + offsetof(TTaggedList, Tags)));
    SharedRelease(Load<void*>(sub, k.Tagged + offsetof(TTaggedList, Details)));
  }
  ReleaseEntryList(sub, k.Entries);
}

// `copy` holds the source's bytes. First every count, size and flag of the
// copy is cleared and every pointer that is not owned is set to null, so the
// copy owns nothing and shares no pointer with the source; then each owned
// part is copied and only then marked present again.
void CopyKindParts(const void* source, void* copy, const TKindLayout& k) {
  const std::size_t itemsCount = k.Items + offsetof(TItem24Array, ItemCount);
  const std::size_t itemsData = k.Items + offsetof(TItem24Array, ItemData);
  const std::size_t bufferSize = k.Buffer + offsetof(TSizedBuffer, Size);
  const std::size_t bufferData = k.Buffer + offsetof(TSizedBuffer, Data);
  const std::size_t tagCount = k.Tagged + offsetof(TTaggedList, TagCount);
  const std::size_t tags = k.Tagged + offsetof(TTaggedList, Tags);
  const std::size_t details = k.Tagged + offsetof(TTaggedList, Details);

  if (k.Items != None) {
    Store<int32_t>(copy, itemsCount, 0);
    Store<void*>(copy, itemsData, nullptr);
  }
  if (k.Buffer != None) {
    Store<uint16_t>(copy, bufferSize, 0);
    Store<void*>(copy, bufferData, nullptr);
  }
  Store<uint8_t>(copy, k.Entries + offsetof(TVarEntryList, EntryCount), 0);
  if (k.Tagged != None) {
    Store<uint8_t>(copy, tagCount, 0);
    Store<void*>(copy, tags, nullptr);
    Store<void*>(copy, details, nullptr);
  }
  uint16_t flags = 0;
  if (k.Flags != None) {
    flags = Load<uint16_t>(source, k.Flags);
    uint16_t blockBits = 0;
    for (unsigned bit = 0; bit < MaxOptionalBlocks; ++bit) {
      if (k.BlockSizes[bit] == 0) continue;  // plain bytes: keep them
      blockBits = static_cast<uint16_t>(blockBits | (1u << bit));
      Store<void*>(copy, k.Blocks + bit * sizeof(void*), nullptr);
    }
    // Bits that govern no block are carried unchanged.
    Store<uint16_t>(copy, k.Flags, static_cast<uint16_t>(flags & ~blockBits));
  }

  if (k.Items != None) {
    const auto count = Load<int32_t>(source, itemsCount);
    if (count > 0) {
      Store(copy, itemsData,
            CopyBuffer(Load<const void*>(source, itemsData), BytesFor(static_cast<std::size_t>(count), Item24Size)));
      Store(copy, itemsCount, count);
    } else {
      Store(copy, itemsCount, count);  // a negative count is carried, owning nothing
    }
  }
  if (k.Buffer != None) {
    const auto size = Load<uint16_t>(source, bufferSize);
    if (size > 0) {
      Store(copy, bufferData, CopyBuffer(Load<const void*>(source, bufferData), size));
      Store(copy, bufferSize, size);
    }
  }
  CopyEntryList(source, copy, k.Entries);
  if (k.Tagged != None) {
    const auto count = Load<uint8_t>(source, tagCount);
    if (count > 0) {
      // Two buffers behind one count: the first is the copy's only once the
      // second exists too.
      void* copiedTags = CopyBuffer(Load<const void*>(source, tags), count);
      void* copiedDetails = nullptr;
      try {
        copiedDetails = CopyBuffer(Load<const void*>(source, details), count * TaggedDetailSize);
      } catch (...) {
        SharedRelease(copiedTags);
        throw;
      }
      Store(copy, tags, copiedTags);
      Store(copy, details, copiedDetails);
      Store(copy, tagCount, count);
    }
  }
  if (k.Flags != None) {
    for (unsigned bit = 0; bit < MaxOptionalBlocks; ++bit) {
      const uint16_t mask = static_cast<uint16_t>(1u << bit);
      if (k.BlockSizes[bit] == 0 || !(flags & mask)) continue;
      const std::size_t at = k.Blocks + bit * sizeof(void*);
      Store(copy, at, CopyBuffer(Load<const void*>(source, at), k.BlockSizes[bit]));
      Store(copy, k.Flags, static_cast<uint16_t>(Load<uint16_t>(copy, k.Flags) | mask));
    }
  }
}

// The compact layout: the entry list is copied; the block of unknown size
// cannot be copied safely and is left out.
void* CopyCompact(const void* source) {
  void* copy = SharedAllocCopy(source, sizeof(TCompactKindData));
  Store<uint8_t>(copy, offsetof(TCompactKindData, Entries) + offsetof(TVarEntryList, EntryCount), 0);
  Store<void*>(copy, offsetof(TCompactKindData, Block), nullptr);
  try {
    CopyEntryList(source, copy, offsetof(TCompactKindData, Entries));
  } catch (...) {
    ReleaseEntryList(copy, offsetof(TCompactKindData, Entries));
    SharedRelease(copy);
    throw;
  }
  return copy;
}

}  // namespace

// ---------------------------------------------------------------------------

const TTestDataRecord TestDataHeaderTemplate = HeaderTemplate;

constinit const TTestDataRecord* const NoTestData1 = &Sentinel1.Record;
constinit const TTestDataRecord* const NoTestData2 = &Sentinel2.Record;
constinit const TTestDataRecord* const NoTestData3 = &Sentinel3.Record;

std::size_t KindDataSize(uint8_t kind) { return kind <= MaxTestDataKind ? Layouts[kind].Size : 0; }

std::size_t OptionalBlockSize(uint8_t kind, unsigned bit) {
  if (kind > MaxTestDataKind || bit >= MaxOptionalBlocks) return 0;
  return Layouts[kind].BlockSizes[bit];
}

const void* KindDataTemplate(uint8_t kind) {
  if (kind == tdkPHS) return &PHSTemplate;
  return kind < tdkPHS ? ZeroTemplate : nullptr;
}

bool IsRealTestData(const TTestDataRecord* record) {
  return record && record != NoTestData1 && record != NoTestData2 && record != NoTestData3;
}

bool HasKindData(const TTestDataRecord* record) {
  return IsRealTestData(record) && Load<void*>(record, offsetof(TTestDataRecord, KindData)) != nullptr;
}

TTestDataRecord* NewTestData(uint8_t kind) {
  if (kind > MaxTestDataKind) return nullptr;
  auto* record = static_cast<TTestDataRecord*>(SharedAlloc(sizeof(TTestDataRecord)));
  try {
    ResetTestData(record, kind);
  } catch (...) {
    SharedRelease(record);
    throw;
  }
  return record;
}

void ResetTestData(TTestDataRecord* record, uint8_t kind) {
  if (!record || kind > MaxTestDataKind) return;
  std::memcpy(record, &HeaderTemplate, sizeof(TTestDataRecord));
  record->KindData = SharedAllocCopy(KindDataTemplate(kind), Layouts[kind].Size);
  record->HeaderWord |= static_cast<uint32_t>(kind) << hwKindShift;
}

TTestDataRecord* CopyTestData(const TTestDataRecord* source) {
  auto* copy = static_cast<TTestDataRecord*>(SharedAllocCopy(source, sizeof(TTestDataRecord)));
  copy->HeaderWord &= ~hwStaticMark;
  const uint8_t kind = KindOf(*copy);
  const bool compact = (copy->HeaderWord & hwCompactLayout) != 0;
  if (!compact && kind > MaxTestDataKind) return copy;  // shares the source's KindData

  // A sentinel's bytes from +45 on are no pointer: treat it as having none.
  const void* from = HasKindData(source) ? source->KindData : nullptr;
  copy->KindData = nullptr;
  try {
    if (compact) {
      if (from) copy->KindData = CopyCompact(from);
      return copy;
    }
    const TKindLayout& k = Layouts[kind];
    if (!from) {
      copy->KindData = SharedAllocCopy(KindDataTemplate(kind), k.Size);
      return copy;
    }
    copy->KindData = SharedAllocCopy(from, k.Size);
    CopyKindParts(from, copy->KindData, k);
  } catch (...) {
    FreeTestData(copy);  // the copy owns exactly what was built so far
    throw;
  }
  return copy;
}

bool IsReleasableTestData(const TTestDataRecord* record) {
  return IsRealTestData(record) && (record->HeaderWord & hwStaticMark) == 0;
}

void FreeTestData(TTestDataRecord* record) {
  if (!IsReleasableTestData(record)) return;
  FreeKindData(record);
  SharedRelease(record);
}

void FreeKindData(TTestDataRecord* record) {
  if (!HasKindData(record) || (record->HeaderWord & hwStaticMark)) return;
  void* sub = record->KindData;
  const uint8_t kind = KindOf(*record);
  if (record->HeaderWord & hwCompactLayout) {
    ReleaseEntryList(sub, offsetof(TCompactKindData, Entries));
    SharedRelease(Load<void*>(sub, offsetof(TCompactKindData, Block)));
  } else if (kind <= MaxTestDataKind) {
    ReleaseKindParts(sub, Layouts[kind]);
  } else {
    return;  // kinds 5-7: nothing known, nothing released
  }
  SharedRelease(sub);
  record->KindData = nullptr;
}
