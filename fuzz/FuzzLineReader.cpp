// The stand-in decoding library's line reader: every line it accepts is well
// formed, holds values in range, and reads back the same from the canonical
// text of what was read (which is never longer); the decoding function
// accepts exactly those lines and writes what was read into the record.
#include <cstring>
#include <string>

#include "fuzz/FuzzHarness.h"
#include "host/HandsetFields.h"
#include "host/VelmarIntface.h"
#include "standins/velmar/HandsetLine.h"
#include "testdata/DataAccessAPIUnit.h"

namespace {

using velmar::THandsetLine;
using velmar::TLineKind;

std::string Canonical(const THandsetLine& l) {
  static const char* const Hex = "0123456789ABCDEF";
  std::string s;
  const auto num = [&](int v) { s += ',' + std::to_string(v); };
  if (l.Kind == TLineKind::Signalling) {
    s = "L3,";
    for (uint8_t b : l.Message) (s += Hex[b >> 4]) += Hex[b & 15];
    return s;
  }
  if (l.Kind == TLineKind::Idle) {
    s = "IDLE";
    for (int v : {int{l.Arfcn}, int{l.Bsic}, int{l.RxLev}, int{l.C1}, int{l.C2}}) num(v);
  } else {
    s = "DED";
    for (int v : {int{l.Arfcn}, int{l.Bsic}, int{l.RxLev}, int{l.RxLevSub}, int{l.RxQualFull}, int{l.RxQualSub},
                  int{l.Ta}, int{l.TxPower}})
      num(v);
  }
  for (std::size_t i = 0; i < l.NeighbourCount; ++i) {
    const auto& n = l.Neighbours[i];
    s += ',' + std::to_string(n.Arfcn) + ':' + std::to_string(n.Bsic) + ':' + std::to_string(n.RxLev);
  }
  return s;
}

bool Same(const THandsetLine& a, const THandsetLine& b) {
  if (a.Kind != b.Kind || a.NeighbourCount != b.NeighbourCount || a.Message != b.Message) return false;
  for (std::size_t i = 0; i < a.NeighbourCount; ++i) {
    const auto &x = a.Neighbours[i], &y = b.Neighbours[i];
    if (x.Arfcn != y.Arfcn || x.Bsic != y.Bsic || x.RxLev != y.RxLev) return false;
  }
  return a.Arfcn == b.Arfcn && a.Bsic == b.Bsic && a.RxLev == b.RxLev && a.C1 == b.C1 && a.C2 == b.C2 &&
         a.RxLevSub == b.RxLevSub && a.RxQualFull == b.RxQualFull && a.RxQualSub == b.RxQualSub &&
         a.Ta == b.Ta && a.TxPower == b.TxPower;
}

void CheckRanges(const THandsetLine& l) {
  FUZZ_CHECK(l.NeighbourCount <= velmar::MaxNeighbours, "too many neighbours");
  bool ok = l.Arfcn <= 1023 && l.Bsic <= 63 && l.RxLev <= 63;
  for (std::size_t i = 0; i < l.NeighbourCount; ++i)
    ok = ok && l.Neighbours[i].Arfcn <= 1023 && l.Neighbours[i].Bsic <= 63 && l.Neighbours[i].RxLev <= 63;
  if (l.Kind == TLineKind::Idle) ok = ok && l.C1 >= -999 && l.C1 <= 999 && l.C2 >= -999 && l.C2 <= 999;
  if (l.Kind == TLineKind::Dedicated)
    ok = ok && l.RxLevSub <= 63 && l.RxQualFull <= 7 && l.RxQualSub <= 7 && l.Ta <= 63 && l.TxPower <= 31;
  if (l.Kind == TLineKind::Signalling)
    ok = l.Message.size() >= velmar::MinMessageBytes && l.Message.size() <= velmar::MaxMessageBytes;
  FUZZ_CHECK(ok, "a value out of range was accepted");
}

// Decodes through the library's exported function into a fresh record.
void CheckDecoding(std::string_view text, const std::optional<THandsetLine>& line) {
  THandsetFields* store = NewHandsetFieldsInstance();
  TTestDataRecord* record = NewTestData(tdkGSM);
  store->AttachRecord(record);
  const PSharedStr frame = SharedStrNew(text.data(), static_cast<int32_t>(text.size()));
  uint8_t state[8] = {};
  const bool decoded = Gain_GSM_Test_Data(10, frame, store, state);
  FUZZ_CHECK(decoded == line.has_value(), "the decoding function and the line reader disagree");
  FUZZ_CHECK(state[decoded ? 0 : 4] == 1, "DecodeState counted the wrong way");
  FUZZ_CHECK(Gain_GSM_Connect_Data(10, frame) == (text == velmar::ConnectAnswer), "connect answer misread");
  if (decoded) {
    const auto* sub = static_cast<const TGSMKindData*>(record->KindData);
    if (line->Kind == TLineKind::Signalling) {
      FUZZ_CHECK(record->MessageWord == velmar::MessageIdOfMessage(line->Message), "wrong message word");
      FUZZ_CHECK(sub->Buffer.Size == line->Message.size() &&
                     std::memcmp(sub->Buffer.Data, line->Message.data(), line->Message.size()) == 0,
                 "the message bytes differ in the record");
    } else {
      const unsigned bit = line->Kind == TLineKind::Idle ? 0 : 1;
      FUZZ_CHECK(record->MessageWord == 0 && sub->OptionalFlags == 1u << bit, "wrong report flags");
      uint16_t arfcn;
      std::memcpy(&arfcn, sub->OptionalBlocks[bit], 2);
      FUZZ_CHECK(arfcn == line->Arfcn, "wrong ARFCN in the block");
    }
  }
  SharedStrRelease(frame);
  store->AttachRecord(nullptr);
  delete store;
  FreeTestData(record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const fuzz::TLive before;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto line = velmar::ParseReportLine(text);
  if (line) {
    FUZZ_CHECK(velmar::IsWellFormedLine(text), "an ill-formed line was accepted");
    CheckRanges(*line);
    const std::string canonical = Canonical(*line);
    FUZZ_CHECK(canonical.size() <= text.size(), "the canonical text is longer: " + canonical);
    const auto again = velmar::ParseReportLine(canonical);
    FUZZ_CHECK(again && Same(*line, *again), "the canonical text reads differently: " + canonical);
  }
  if (size > 0) CheckDecoding(text, line);
  FUZZ_CHECK(fuzz::TLive() == before, "shared memory left over: " + fuzz::TLive().Describe());
  return 0;
}
