#include "standins/velmar/RecordFill.h"

#include <cstring>
#include <new>

#include "host/SharedAlloc.h"

namespace velmar {
namespace {

void Put8(uint8_t* block, std::size_t offset, uint32_t value) {
  block[offset] = static_cast<uint8_t>(value);
}

void Put16(uint8_t* block, std::size_t offset, uint32_t value) {
  block[offset] = static_cast<uint8_t>(value);
  block[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PutNeighbours(uint8_t* block, std::size_t countOffset, const THandsetLine& line) {
  Put8(block, countOffset, line.NeighbourCount);
  for (std::size_t i = 0; i < line.NeighbourCount; ++i) {
    const std::size_t at = NeighbourOffset + i * NeighbourSize;
    Put16(block, at, line.Neighbours[i].Arfcn);
    Put8(block, at + 2, line.Neighbours[i].Bsic);
    Put8(block, at + 3, line.Neighbours[i].RxLev);
  }
}

void PutIdle(uint8_t* block, const THandsetLine& line) {
  Put16(block, 0, line.Arfcn);
  Put8(block, 2, line.Bsic);
  Put8(block, 3, line.RxLev);
  Put16(block, 4, static_cast<uint16_t>(line.C1));
  Put16(block, 6, static_cast<uint16_t>(line.C2));
  PutNeighbours(block, 8, line);
}

void PutDedicated(uint8_t* block, const THandsetLine& line) {
  Put16(block, 0, line.Arfcn);
  Put8(block, 2, line.Bsic);
  Put8(block, 3, line.RxLev);
  Put8(block, 4, line.RxLevSub);
  Put8(block, 5, line.RxQualFull);
  Put8(block, 6, line.RxQualSub);
  Put8(block, 7, line.Ta);
  Put8(block, 8, line.TxPower);
  PutNeighbours(block, 9, line);
}

void PutBlock(TGSMKindData& sub, unsigned bit, void (*put)(uint8_t*, const THandsetLine&),
              const THandsetLine& line) {
  auto* block = static_cast<uint8_t*>(SharedAlloc(OptionalBlockSize(tdkGSM, bit)));
  put(block, line);
  sub.OptionalBlocks[bit] = block;
  sub.OptionalFlags = static_cast<uint16_t>(sub.OptionalFlags | 1u << bit);
}

// Releases a sub-record of kind GSM and everything it owns.
void ReleaseSubRecord(const TTestDataRecord& owner, void* sub) {
  TTestDataRecord holder = owner;
  holder.KindData = sub;
  FreeKindData(&holder);
}

// A new sub-record holding the line; std::bad_alloc leaves nothing behind.
TGSMKindData* BuildSubRecord(const TTestDataRecord& owner, const THandsetLine& line) {
  auto* sub = static_cast<TGSMKindData*>(SharedAlloc(sizeof(TGSMKindData)));
  try {
    switch (line.Kind) {
      case TLineKind::Idle:
        PutBlock(*sub, IdleBlockBit, PutIdle, line);
        break;
      case TLineKind::Dedicated:
        PutBlock(*sub, DedicatedBlockBit, PutDedicated, line);
        break;
      case TLineKind::Signalling:
        sub->Buffer.Data = static_cast<uint8_t*>(SharedAllocCopy(line.Message.data(), line.Message.size()));
        sub->Buffer.Size = static_cast<uint16_t>(line.Message.size());
        break;
    }
  } catch (const std::bad_alloc&) {
    ReleaseSubRecord(owner, sub);
    throw;
  }
  return sub;
}

}  // namespace

bool IsFillableRecord(const TTestDataRecord* record) {
  return IsRealTestData(record) && (record->HeaderWord & (hwStaticMark | hwCompactLayout)) == 0 &&
         KindOf(*record) == tdkGSM;
}

void FillRecord(TTestDataRecord& record, const THandsetLine& line) {
  TGSMKindData* fresh = BuildSubRecord(record, line);
  void* old = record.KindData;
  record.KindData = fresh;
  switch (line.Kind) {
    case TLineKind::Idle:
      record.MessageWord = 0;
      record.HostSetting = 0;
      break;
    case TLineKind::Dedicated:
      record.MessageWord = 0;
      record.HostSetting = 1;
      break;
    case TLineKind::Signalling:
      record.MessageWord = MessageIdOfMessage(line.Message);
      break;
  }
  if (old) ReleaseSubRecord(record, old);
}

}  // namespace velmar
