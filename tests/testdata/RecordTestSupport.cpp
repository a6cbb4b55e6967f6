#include "RecordTestSupport.h"
#include "host/SharedAlloc.h"

#include <stdexcept>

const uint16_t ExpectedBlockSizes[5][9] = {
    {260, 44, 116, 104, 673, 0, 0, 0, 0},
    {92, 72, 44, 164, 68, 673, 0, 0, 0},
    {124, 24, 52, 72, 72, 256, 116, 104, 673},
    {364, 24, 52, 176, 0, 256, 116, 104, 673},
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
};
const std::size_t ExpectedKindSize32[5] = {42, 58, 70, 70, 25};
const std::size_t KindPointerCount[5] = {9, 11, 14, 14, 1};

std::size_t Shifted(std::size_t offset32, std::size_t pointersBefore) {
  return offset32 + (sizeof(void*) - 4) * pointersBefore;
}

std::size_t ExpectedKindSize(uint8_t kind) {
  return Shifted(ExpectedKindSize32[kind], KindPointerCount[kind]);
}

uint8_t* PatternBlock(std::size_t size, uint8_t seed) {
  auto* block = static_cast<uint8_t*>(SharedAlloc(size));
  for (std::size_t i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(seed + 7 * i + 1);
  return block;
}

namespace {

void FillEntries(TVarEntryList& list, const TPopulation& p, uint8_t seed) {
  list.EntryCount = static_cast<uint8_t>(p.EntryLengths.size());
  list.Entries = nullptr;
  if (p.EntryLengths.empty()) return;
  auto* entries = static_cast<TVarEntry*>(SharedAlloc(p.EntryLengths.size() * sizeof(TVarEntry)));
  for (std::size_t i = 0; i < p.EntryLengths.size(); ++i) {
    for (int b = 0; b < 10; ++b) entries[i].Fixed[b] = static_cast<uint8_t>(seed + i * 10 + b);
    entries[i].Length = p.EntryLengths[i];
    entries[i].Data = p.EntryLengths[i] ? PatternBlock(p.EntryLengths[i], static_cast<uint8_t>(seed + i)) : nullptr;
  }
  list.Entries = entries;
}

template <class T>
void FillShared(T& sub, uint8_t kind, const TPopulation& p) {
  sub.Buffer.Size = p.BufferSize;
  sub.Buffer.Data = p.BufferSize ? PatternBlock(p.BufferSize, 11) : nullptr;
  FillEntries(sub.Entries, p, 21);
  sub.Tagged.TagCount = p.Tags;
  sub.Tagged.Tags = p.Tags ? PatternBlock(p.Tags, 31) : nullptr;
  sub.Tagged.Details = p.Tags ? PatternBlock(p.Tags * std::size_t{12}, 41) : nullptr;
  sub.OptionalFlags = 0;
  if (!p.AllBlocks) return;
  constexpr std::size_t slots = sizeof(sub.OptionalBlocks) / sizeof(void*);
  for (unsigned bit = 0; bit < slots; ++bit) {
    const uint16_t size = ExpectedBlockSizes[kind][bit];
    if (size == 0) continue;
    sub.OptionalFlags = static_cast<uint16_t>(sub.OptionalFlags | (1u << bit));
    Put<void*>(&sub, offsetof(T, OptionalBlocks) + bit * sizeof(void*),
               PatternBlock(size, static_cast<uint8_t>(50 + bit)));
  }
}

template <class T>
void FillItems(T& sub, const TPopulation& p) {
  for (int b = 0; b < 4; ++b) sub.Plain[b] = static_cast<uint8_t>(0xA0 + b);
  sub.Items.ItemCount = p.Items;
  sub.Items.ItemData = p.Items > 0 ? PatternBlock(static_cast<std::size_t>(p.Items) * 24, 61) : nullptr;
}

void Append(std::vector<uint8_t>& out, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + size);
}

void Own(TWalk& w, const void* data, std::size_t size) {
  w.Owned.push_back({data, size, true});
  Append(w.Bytes, data, size);
}

void WalkEntries(TWalk& w, const TVarEntryList& list) {
  Append(w.Bytes, &list.EntryCount, 1);
  if (list.EntryCount == 0) return;
  w.Owned.push_back({list.Entries, list.EntryCount * sizeof(TVarEntry), false});
  for (std::size_t i = 0; i < list.EntryCount; ++i) {
    const TVarEntry& e = list.Entries[i];
    Append(w.Bytes, e.Fixed, sizeof e.Fixed);
    const uint16_t length = e.Length;
    Append(w.Bytes, &length, sizeof length);
    if (length > 0) Own(w, e.Data, length);
  }
}

template <class T>
void WalkShared(TWalk& w, const T& sub, uint8_t kind) {
  const uint16_t size = sub.Buffer.Size, flags = sub.OptionalFlags;
  const uint8_t tags = sub.Tagged.TagCount;
  Append(w.Bytes, &size, 2);
  if (size > 0) Own(w, sub.Buffer.Data, size);
  WalkEntries(w, sub.Entries);
  Append(w.Bytes, &tags, 1);
  if (tags > 0) {
    Own(w, sub.Tagged.Tags, tags);
    Own(w, sub.Tagged.Details, tags * std::size_t{12});
  }
  Append(w.Bytes, &flags, 2);
  constexpr std::size_t slots = sizeof(sub.OptionalBlocks) / sizeof(void*);
  for (unsigned bit = 0; bit < slots; ++bit) {
    const std::size_t at = offsetof(T, OptionalBlocks) + bit * sizeof(void*);
    const uint16_t blockSize = ExpectedBlockSizes[kind][bit];
    if (blockSize == 0) {
      Append(w.Bytes, reinterpret_cast<const uint8_t*>(&sub) + at, 4);  // plain bytes
    } else if (flags & (1u << bit)) {
      Own(w, Get<const void*>(&sub, at), blockSize);
    }
  }
}

template <class T>
void WalkItems(TWalk& w, const T& sub) {
  const int32_t count = sub.Items.ItemCount;
  Append(w.Bytes, sub.Plain, 4);
  Append(w.Bytes, &count, 4);
  if (count > 0) Own(w, sub.Items.ItemData, static_cast<std::size_t>(count) * 24);
}

}  // namespace

TTestDataRecord* BuildRecord(uint8_t kind, const TPopulation& p) {
  TTestDataRecord* r = NewTestData(kind);
  if (!r) throw std::invalid_argument("kind");
  // Pattern every header byte the plug-in carries without interpreting.
  r->LeadByte = 0x5A;
  r->HeaderWord |= 0x0123456u;
  r->TimeStamp1 = 45000.25;
  r->TimeStamp2 = 45000.5;
  r->PositionX = 12.5;
  r->PositionY = -3.75;
  r->StateByte = 1;
  r->SpareByte = 2;
  r->ReportedStateByte = 3;
  r->HostSetting = 4;
  r->MessageWord = 0xABCDE301u;
  switch (kind) {
    case tdkGSM:
      FillShared(*static_cast<TGSMKindData*>(r->KindData), kind, p);
      break;
    case tdkKind1: {
      auto& sub = *static_cast<TKind1Data*>(r->KindData);
      FillItems(sub, p);
      FillShared(sub, kind, p);
      break;
    }
    case tdkKind2:
    case tdkKind3: {
      auto& sub = *static_cast<TKind2Data*>(r->KindData);
      FillItems(sub, p);
      FillShared(sub, kind, p);
      if (kind == tdkKind3) {
        const uint8_t plain[4] = {0xDE, 0xAD, 0xBE, 0xEF};
        std::memcpy(reinterpret_cast<uint8_t*>(&sub) + offsetof(TKind2Data, OptionalBlocks) + 4 * sizeof(void*),
                    plain, 4);
      }
      break;
    }
    case tdkPHS: {
      auto& sub = *static_cast<TPHSKindData*>(r->KindData);
      FillEntries(sub.Entries, p, 71);
      for (int i = 0; i < 5; ++i) sub.Values[i] = 1000 * i - 7;
      break;
    }
  }
  return r;
}

TWalk WalkRecord(const TTestDataRecord* record) {
  TWalk w;
  Append(w.Bytes, record, offsetof(TTestDataRecord, KindData));
  w.Bytes[4] &= 0x7F;  // the static mark (high byte of HeaderWord)
  const void* sub = record->KindData;
  if (!sub) return w;
  const uint8_t kind = KindOf(*record);
  if (record->HeaderWord & hwCompactLayout) {
    const auto& compact = *static_cast<const TCompactKindData*>(sub);
    w.Owned.push_back({sub, sizeof(TCompactKindData), false});
    WalkEntries(w, compact.Entries);
    return w;
  }
  if (kind > tdkPHS) return w;
  w.Owned.push_back({sub, ExpectedKindSize(kind), false});
  switch (kind) {
    case tdkGSM:
      WalkShared(w, *static_cast<const TGSMKindData*>(sub), kind);
      break;
    case tdkKind1:
      WalkItems(w, *static_cast<const TKind1Data*>(sub));
      WalkShared(w, *static_cast<const TKind1Data*>(sub), kind);
      break;
    case tdkKind2:
    case tdkKind3:
      WalkItems(w, *static_cast<const TKind2Data*>(sub));
      WalkShared(w, *static_cast<const TKind2Data*>(sub), kind);
      break;
    case tdkPHS: {
      const auto& phs = *static_cast<const TPHSKindData*>(sub);
      WalkEntries(w, phs.Entries);
      Append(w.Bytes, reinterpret_cast<const uint8_t*>(&phs) + offsetof(TPHSKindData, Values), 20);
      break;
    }
  }
  return w;
}
