#include "tests/reliability/RecordShapes.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "host/SharedAlloc.h"
#include "tests/testdata/RecordTestSupport.h"

namespace {

std::size_t BlocksAt(uint8_t kind) {
  switch (kind) {
    case tdkGSM: return offsetof(TGSMKindData, OptionalFlags);
    case tdkKind1: return offsetof(TKind1Data, OptionalFlags);
    default: return offsetof(TKind2Data, OptionalFlags);
  }
}

// Releases the blocks of the bits not wanted and sets the flags wanted.
void TrimFlags(TTestDataRecord* r, uint16_t wanted) {
  const uint8_t kind = KindOf(*r);
  if (kind > tdkKind3) return;
  const std::size_t flagsAt = BlocksAt(kind);
  const std::size_t slotsAt = flagsAt + sizeof(uint16_t);
  for (unsigned bit = 0; bit < MaxOptionalBlocks; ++bit) {
    if (OptionalBlockSize(kind, bit) == 0 || (wanted & (1u << bit))) continue;
    const std::size_t at = slotsAt + bit * sizeof(void*);
    SharedRelease(Get<void*>(r->KindData, at));
    Put<void*>(r->KindData, at, nullptr);
    Put<uint16_t>(r->KindData, flagsAt,
                  static_cast<uint16_t>(Get<uint16_t>(r->KindData, flagsAt) & ~(1u << bit)));
  }
  uint16_t flags = Get<uint16_t>(r->KindData, flagsAt);
  for (unsigned bit = 0; bit < 16; ++bit)
    if (bit >= MaxOptionalBlocks || OptionalBlockSize(kind, bit) == 0)
      flags = static_cast<uint16_t>((flags & ~(1u << bit)) | (wanted & (1u << bit)));
  Put<uint16_t>(r->KindData, flagsAt, flags);
}

// Swaps the sub-record for a compact one holding the old entry list.
void MakeCompact(TTestDataRecord* r, const TRecordShape& s) {
  auto* compact = static_cast<TCompactKindData*>(SharedAlloc(sizeof(TCompactKindData)));
  uint8_t* block = nullptr;
  try {
    block = s.BlockSize ? PatternBlock(s.BlockSize, 90) : nullptr;
  } catch (...) {
    SharedRelease(compact);
    throw;
  }
  // Build the entries on a PHS record, whose sub-record is just the list.
  TPopulation p;
  p.EntryLengths = s.EntryLengths;
  TTestDataRecord* donor = nullptr;
  try {
    donor = BuildRecord(tdkPHS, p);
  } catch (...) {
    SharedRelease(block);
    SharedRelease(compact);
    throw;
  }
  std::memcpy(&compact->Entries, donor->KindData, sizeof(TVarEntryList));
  Put<uint8_t>(donor->KindData, 0, 0);  // the entries moved
  FreeTestData(donor);
  compact->Block = block;
  FreeKindData(r);
  r->KindData = compact;
  r->HeaderWord |= hwCompactLayout;
}

}  // namespace

TTestDataRecord* BuildShaped(const TRecordShape& s) {
  TPopulation p;
  p.Items = s.Items;
  p.BufferSize = s.BufferSize;
  p.EntryLengths = s.EntryLengths;
  p.Tags = s.Tags;
  p.AllBlocks = true;
  // The builder is not written to roll back: a failed build may leave part
  // of a record behind, which is the test's own affair, not the plug-in's.
  const int64_t before = SharedLiveBlocks();
  TTestDataRecord* r = nullptr;
  try {
    r = BuildRecord(s.Kind, p);
    if (s.Compact) MakeCompact(r, s);
    else TrimFlags(r, s.Flags);
  } catch (...) {
    FreeTestData(r);
    if (SharedLiveBlocks() != before) throw std::logic_error("record builder left blocks behind");
    throw;
  }
  r->MessageWord = s.MessageWord;
  if (s.StaticMark) r->HeaderWord |= hwStaticMark;
  return r;
}

std::vector<TRange> OwnedRanges(const TTestDataRecord& record) {
  std::vector<TRange> ranges;
  const auto add = [&](const void* p, std::size_t n) {
    const auto at = reinterpret_cast<uintptr_t>(p);
    ranges.push_back({at, at + n});
  };
  add(&record, sizeof record);
  for (const TOwned& o : WalkRecord(&record).Owned) add(o.Data, o.Size);
  if ((record.HeaderWord & hwCompactLayout) && record.KindData) {
    const void* block = static_cast<const TCompactKindData*>(record.KindData)->Block;
    if (block) add(block, 1);
  }
  return ranges;
}

bool Disjoint(std::vector<TRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const TRange& a, const TRange& b) { return a.Begin < b.Begin; });
  for (std::size_t i = 1; i < ranges.size(); ++i)
    if (ranges[i].Begin < ranges[i - 1].End) return false;
  return true;
}

std::string DeepCopyFault(const TTestDataRecord& source, const TTestDataRecord& copy) {
  const TWalk a = WalkRecord(&source), b = WalkRecord(&copy);
  if (a.Bytes != b.Bytes) {
    const auto at = std::mismatch(a.Bytes.begin(), a.Bytes.end(), b.Bytes.begin(), b.Bytes.end());
    return "value bytes differ at walk offset " + std::to_string(at.first - a.Bytes.begin());
  }
  if (a.Owned.size() != b.Owned.size()) return "a different number of owned buffers";
  for (std::size_t i = 0; i < a.Owned.size(); ++i) {
    if (a.Owned[i].Size != b.Owned[i].Size) return "owned buffer " + std::to_string(i) + " differs in size";
    if (a.Owned[i].Leaf && std::memcmp(a.Owned[i].Data, b.Owned[i].Data, a.Owned[i].Size) != 0)
      return "owned buffer " + std::to_string(i) + " differs";
  }
  if (copy.HeaderWord & hwStaticMark) return "the copy carries the static mark";
  if ((copy.HeaderWord & hwCompactLayout) && copy.KindData &&
      static_cast<const TCompactKindData*>(copy.KindData)->Block != nullptr)
    return "the compact copy holds a block of unknown size";
  std::vector<TRange> both = OwnedRanges(source);
  const std::vector<TRange> mine = OwnedRanges(copy);
  both.insert(both.end(), mine.begin(), mine.end());
  if (!Disjoint(both)) return "the copy shares or overlaps a buffer of the source";
  return {};
}
