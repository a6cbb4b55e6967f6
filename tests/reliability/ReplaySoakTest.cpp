// A long replay through the plug-in's exports: a host loop feeds report
// lines in chunks, takes the stored records into its own store and releases
// them in the decoder, sends GPS marks throughout, has positions stamped and
// releases the records whose position is final. Run under AddressSanitizer
// and LeakSanitizer by the soak leg with a million frames
// (ORVIK_SOAK_FRAMES); ordinary builds run a short one.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "plugin/Orvik7316.h"
#include "testdata/DataAccessAPIUnit.h"
#include "host/DevicePort.h"
#include "tests/reliability/SoakStream.h"

namespace {

// A port that only tells the time, a little later at every reading.
class TClockPort final : public TDevicePort {
 public:
  bool IsOpen() override { return true; }
  void SetOptionByte(uint8_t) override {}
  void SetOptionA(int32_t) override {}
  void SetOptionB(int32_t) override {}
  double CurrentTime() override { return Now += 1.0 / 86400 / 50; }
  void Write(const void*, int32_t) override {}
  void Open(bool) override {}
  void Close() override {}
  void PurgeA() override {}
  void PurgeB() override {}
  void EnableA(bool) override {}
  void EnableB(bool) override {}
  double Now = 45000.0;
};

struct THost {
  std::vector<TTestDataRecord*> Store;  // released entries become null
  int32_t Released = 0;                 // entries below this are released

  static int32_t Count(void* c, int32_t) { return static_cast<int32_t>(static_cast<THost*>(c)->Store.size()); }
  static TTestDataRecord* At(void* c, int32_t, int32_t i) {
    return static_cast<THost*>(c)->Store[static_cast<std::size_t>(i)];
  }
  void ReleaseUpTo(int32_t last) {
    for (; Released <= last; ++Released) {
      FreeTestData(Store[static_cast<std::size_t>(Released)]);
      Store[static_cast<std::size_t>(Released)] = nullptr;
    }
  }
};

TEST(ReplaySoak, MillionFramesFetchedStampedAndReleasedWithNothingLeft) {
  const int64_t frames = SoakCount("ORVIK_SOAK_FRAMES", 20000);
  const int64_t blocks0 = SharedLiveBlocks(), bytes0 = SharedLiveBytes(), bad0 = SharedBadFrees();
  THost host;
  {
    TClockPort port;
    int32_t markCounter = 0;
    TPositionBlock latest{-9999.0, -9999.0, 0.0};
    const PSharedStr replayName = SharedStrNew("drive.rec", 9);
    TGPSMarkSource marks{replayName, &markCounter, &latest};

    std::unique_ptr<TVirtualDecode> base(GetDllDevice(&port, &marks));
    ASSERT_NE(base, nullptr);
    THandSetDecode& d = *HandSetDecodeOf(base.get());
    d.SetRecordCountCallback({&THost::Count, &host});
    d.SetRecordAtCallback({&THost::At, &host});
    d.StartTest();

    TSoakStream stream(7316);
    int64_t fetched = 0;
    while (static_cast<int64_t>(stream.Lines()) < frames) {
      const std::string chunk = stream.NextChunk();
      d.ReceiveBytes(chunk.data(), static_cast<int32_t>(chunk.size()), 0);
      // The host takes what was stored into its own store.
      if (d.GetHasNewRecords()) {
        const int32_t n = d.GetStoredRecordCount();
        for (int32_t i = 0; i < n; ++i) {
          const TTestDataRecord* r = d.GetStoredRecord(i);
          ASSERT_NE(r, nullptr);
          host.Store.push_back(CopyTestData(r));
          ASSERT_TRUE(d.FreeStoredRecord(i));
        }
        d.ClearStoredRecords();
        fetched += n;
      }
      // A mark about every 40 lines, with the host's time running on.
      if (stream.Lines() / 40 > static_cast<uint64_t>(markCounter)) {
        latest = {static_cast<double>(markCounter), -static_cast<double>(markCounter), 45000.0 + markCounter / 86400.0};
        std::atomic_ref<int32_t>(markCounter).store(markCounter + 1);
        d.NewPosition(latest);
        if (d.GetPositionsChanged()) host.ReleaseUpTo(d.LastStampedIndex());
      }
    }
    EXPECT_EQ(fetched, static_cast<int64_t>(stream.CompleteLines())) << "every complete line is a record";
    EXPECT_GT(host.Released, fetched / 2) << "positions were stamped and records released as the drive went on";
    d.StopTest();
    base.reset();
    SharedStrRelease(replayName);
  }
  host.ReleaseUpTo(static_cast<int32_t>(host.Store.size()) - 1);
  EXPECT_EQ(SharedLiveBlocks(), blocks0);
  EXPECT_EQ(SharedLiveBytes(), bytes0);
  EXPECT_EQ(SharedBadFrees(), bad0);
}

}  // namespace
