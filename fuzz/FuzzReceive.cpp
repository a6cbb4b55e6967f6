// The receive path: arbitrary bytes through slot 19 of a decoder in the
// testing mode, with the stand-in decoding library behind a tap that can make
// chosen frames raise and a recording port. Every line the library accepted
// is stored, as a deep copy that shares nothing with the working record or
// with the other copies and equals the working record as it was decoded
// (its two time stamps from the port); once the host has released them all
// and deleted the decoder, no shared block is left.
//
// Input: a settings byte (bit 0 replay, so no report refresh; bits 1-3 make
// every n-th frame raise in the library), then chunks: a 16-bit length and
// that many bytes.
#include <map>
#include <memory>
#include <vector>

#include "fuzz/FuzzHarness.h"
#include "tests/common/RecordingPort.h"
#include "tests/reliability/DecodingTap.h"
#include "tests/reliability/RecordShapes.h"
#include "tests/testdata/RecordTestSupport.h"

namespace {

constexpr std::size_t StampsAt = offsetof(TTestDataRecord, TimeStamp1);
constexpr std::size_t StampsEnd = offsetof(TTestDataRecord, PositionX);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::TInput in(data, size);
  const uint8_t settings = in.Byte();
  const fuzz::TLive before;
  ResetDecodingTap();
  DecodingTap().RaiseEvery = (settings >> 1) & 7;
  DecodingTap().RaiseFrom = DecodingTap().RaiseEvery;
  std::vector<std::vector<uint8_t>> decoded;  // each working record as the library left it
  DecodingTap().OnDecoded = [&](const TTestDataRecord& r) { decoded.push_back(WalkRecord(&r).Bytes); };
  {
    TRecordingPort port;
    port.Clock = 45000.0;
    port.ClockStep = 0.25;
    int32_t marks = 0;
    TPositionBlock latest{0, 0, 0};
    const TByteString replay(std::string_view("drive.rec"));
    TGPSMarkSource source{(settings & 1) ? replay.Raw() : nullptr, &marks, &latest};
    fuzz::TInstantClock clock;
    std::unique_ptr<TOrvik7316MSDecode> d(TOrvik7316MSDecode::Create(&port, (settings & 1) ? &source : nullptr));
    FUZZ_CHECK(d != nullptr, "no decoder");
    d->SetClock(clock.Clock());
    d->StartTest();
    while (!in.Empty()) {
      const std::string_view chunk = in.Bytes(in.U16() % 8300);
      d->ReceiveBytes(chunk.data(), static_cast<int32_t>(chunk.size()), 0);
    }
    const uint32_t accepted = DecodedLines(DecodingTap().DecodeState);
    FUZZ_CHECK(static_cast<int64_t>(accepted) == static_cast<int64_t>(decoded.size()), "the tap missed a decode");
    const int32_t stored = d->GetStoredRecordCount();
    FUZZ_CHECK(stored == static_cast<int32_t>(accepted),
               std::to_string(stored) + " records stored, " + std::to_string(accepted) + " lines accepted");

    std::vector<TRange> ranges;
    if (accepted > 0) ranges = OwnedRanges(*static_cast<THandsetFields*>(DecodingTap().Store)->AttachedRecord());
    for (int32_t i = 0; i < stored; ++i) {
      const TTestDataRecord* r = d->GetStoredRecord(i);
      FUZZ_CHECK(r != nullptr, "a stored record is missing");
      std::vector<uint8_t> bytes = WalkRecord(r).Bytes;
      const std::vector<uint8_t>& want = decoded[static_cast<std::size_t>(i)];
      FUZZ_CHECK(bytes.size() == want.size() &&
                     std::equal(bytes.begin() + StampsEnd, bytes.end(), want.begin() + StampsEnd) &&
                     std::equal(bytes.begin(), bytes.begin() + StampsAt, want.begin()),
                 "stored record " + std::to_string(i) + " differs from what was decoded");
      FUZZ_CHECK(r->TimeStamp2 > r->TimeStamp1, "the time stamps are not two port readings");
      const std::vector<TRange> own = OwnedRanges(*r);
      ranges.insert(ranges.end(), own.begin(), own.end());
    }
    FUZZ_CHECK(Disjoint(ranges), "a stored record shares memory with another record");
    for (int32_t i = 0; i < stored; ++i) FUZZ_CHECK(d->FreeStoredRecord(i), "a stored record was not released");
    d->ClearStoredRecords();
    d->StopTest();
  }
  ResetDecodingTap();  // its callback refers to this run's list
  FUZZ_CHECK(fuzz::TLive() == before, "shared memory left over: " + fuzz::TLive().Describe());
  return 0;
}
