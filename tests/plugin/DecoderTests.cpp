// The decoder linked in, driven through its interface: construction and
// teardown around the host's field store, the stored-record slots, the slots
// acting on the working record, and proof that the decoder's own sequences
// go through the interface table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/SharedMM.h"
#include "plugin/Orvik7316MSDecode.h"
#include "testdata/DataAccessAPIUnit.h"
#include "tests/common/DecoderSlotChecks.h"
#include "tests/common/RecordingPort.h"

namespace {

using decoder_test::TDecoderMarkSource;
using decoder_test::TDecoderView;
using decoder_test::TKeptValues;

// What happened to a field store, kept outside it so it survives the store.
struct TStoreLog {
  std::vector<TTestDataRecord*> Attached;  // every AttachRecord argument, in order
  bool Destroyed = false;
  bool AttachedAfterDestroy = false;
};

// A field store of our own: the decoder attaches its working record here, so
// the test can reach that record; it can also refuse the first attachment.
class TSpyFieldStore : public THandsetFields {
 public:
  explicit TSpyFieldStore(TStoreLog& log, bool refuseAttach = false)
      : Log(log), RefuseAttach(refuseAttach) {}
  ~TSpyFieldStore() override { Log.Destroyed = true; }

  TTestDataRecord* AttachedRecord() override { return Record; }
  void AttachRecord(TTestDataRecord* record) override {
    if (Log.Destroyed) Log.AttachedAfterDestroy = true;
    if (record && RefuseAttach) throw std::runtime_error("attach refused");
    Log.Attached.push_back(record);
    Record = record;
  }

 private:
  TStoreLog& Log;
  bool RefuseAttach;
  TTestDataRecord* Record = nullptr;
};

// Opens the decoder's factory seam for a field store of the test's own.
struct TDecoderFactory : TOrvik7316MSDecode {
  using TOrvik7316MSDecode::CreateWith;
};

// A clock that stands still and pauses without waiting.
struct TStillClock {
  double Now = 45000.5;
  std::vector<uint32_t> Pauses;

  TDecoderClock Clock() {
    return {[](void* c) { return static_cast<TStillClock*>(c)->Now; },
            [](void* c, uint32_t ms) { static_cast<TStillClock*>(c)->Pauses.push_back(ms); }, this};
  }
};

// A decoder on a spy field store, the test's port and a mark source.
struct TRig {
  TStoreLog Log;
  TRecordingPort Port;
  TStillClock Clock;
  std::unique_ptr<TOrvik7316MSDecode> Decoder;

  explicit TRig(TGPSMarkSource* marks) {
    Decoder.reset(TDecoderFactory::CreateWith(&Port, marks, new TSpyFieldStore(Log)));
    Decoder->SetClock(Clock.Clock());
  }
  TTestDataRecord* Working() const { return Log.Attached.empty() ? nullptr : Log.Attached.back(); }
  void Receive(std::string_view bytes) {
    Decoder->ReceiveBytes(bytes.data(), static_cast<int32_t>(bytes.size()), 0);
  }
};

constexpr std::string_view IdleLine = "IDLE,62,23,41,35,41\r";
constexpr std::string_view DedicatedLine = "DED,62,23,38,36,2,1,3,5\r";
constexpr std::string_view AlertingLine = "L3,0301\r";  // call control, ALERTING

// --- Construction and teardown ----------------------------------------------

TEST(DecoderLifecycle, AttachesAFreshGsmRecordAndTearsDownInOrder) {
  const int64_t blocks = SharedLiveBlocks();
  const int64_t badFrees = SharedBadFrees();
  TStoreLog log;
  TRecordingPort port;
  TDecoderMarkSource marks;
  TOrvik7316MSDecode* d = TDecoderFactory::CreateWith(&port, marks.get(), new TSpyFieldStore(log));
  ASSERT_NE(d, nullptr);

  ASSERT_EQ(log.Attached.size(), 1u);
  const TTestDataRecord* working = log.Attached[0];
  ASSERT_NE(working, nullptr);
  EXPECT_EQ(KindOf(*working), tdkGSM);
  EXPECT_TRUE(HasKindData(working));
  EXPECT_TRUE(port.Calls().empty()) << "construction touched the port";
  EXPECT_GT(SharedLiveBlocks(), blocks);

  delete d;
  // Detached before the store goes, the store gone before the record.
  ASSERT_EQ(log.Attached.size(), 2u);
  EXPECT_EQ(log.Attached[1], nullptr);
  EXPECT_TRUE(log.Destroyed);
  EXPECT_FALSE(log.AttachedAfterDestroy);
  EXPECT_EQ(SharedLiveBlocks(), blocks);
  EXPECT_EQ(SharedBadFrees(), badFrees);
}

TEST(DecoderLifecycle, NoFieldStoreOrAFailingOneLeavesNothingBehind) {
  const int64_t blocks = SharedLiveBlocks();
  TRecordingPort port;
  EXPECT_EQ(TDecoderFactory::CreateWith(&port, nullptr, nullptr), nullptr);

  TStoreLog log;
  EXPECT_THROW(TDecoderFactory::CreateWith(&port, nullptr, new TSpyFieldStore(log, true)),
               std::runtime_error);
  EXPECT_TRUE(log.Destroyed) << "the store of a failed construction leaked";
  EXPECT_EQ(log.Attached, std::vector<TTestDataRecord*>{nullptr});
  EXPECT_EQ(SharedLiveBlocks(), blocks) << "the working record of a failed construction leaked";
  EXPECT_TRUE(port.Calls().empty());
}

TEST(DecoderLifecycle, DestroyingWithTheLogOpenKeepsEveryLoggedLine) {
  const std::string path = ::testing::TempDir() + "decoder_destroy_log.txt";
  std::remove(path.c_str());
  TDecoderMarkSource replay("drive.rec");
  {
    TRig rig(replay.get());
    PSharedStr name = SharedStrNew(path.data(), static_cast<int32_t>(path.size()));
    rig.Decoder->SetLogFileName(name);
    SharedStrRelease(name);
    EXPECT_EQ(decoder_test::LogFileNameOf(*rig.Decoder), path);
    rig.Decoder->SetLogEnabled(true);
    rig.Decoder->SetSessionMode(smTesting);
    rig.Receive(IdleLine);
    rig.Receive(DedicatedLine);
    // Released without clearing the file name first.
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::string text(256, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), f));
  std::fclose(f);
  std::remove(path.c_str());
  EXPECT_EQ(text, "IDLE,62,23,41,35,41\r\nDED,62,23,38,36,2,1,3,5\r\n");
}

TEST(DecoderLifecycle, DestroyingMidTestStopsTheWatcherAndLeavesNothing) {
  const int64_t blocks = SharedLiveBlocks();
  {
    TDecoderMarkSource marks;  // live: the test starts a watcher
    TRig rig(marks.get());
    rig.Decoder->StartTest();
    for (int i = 0; i < 3; ++i) {
      rig.Receive(IdleLine);
      std::atomic_ref<int32_t>(marks.Counter).fetch_add(1);
    }
    EXPECT_EQ(rig.Decoder->GetStoredRecordCount(), 3);
    for (int32_t i = 0; i < 3; ++i) rig.Decoder->FreeStoredRecord(i);
    EXPECT_GT(rig.Port.Writes().size(), 0u);
    // Released while the watcher waits; the marks go right after the decoder.
  }
  EXPECT_EQ(SharedLiveBlocks(), blocks);
}

// --- The mark source --------------------------------------------------------

TEST(DecoderMarkSource, ConnectedFromTheStartExactlyWhenTheHostReplays) {
  TDecoderMarkSource live;
  TDecoderMarkSource replay("drive.rec");
  TRig none(nullptr), withLive(live.get()), withReplay(replay.get());
  decoder_test::ExpectFreshDecoder(*none.Decoder, false);
  decoder_test::ExpectFreshDecoder(*withLive.Decoder, false);
  decoder_test::ExpectFreshDecoder(*withReplay.Decoder, true);
  EXPECT_EQ(none.Decoder->GetMarkSource(), nullptr);
  EXPECT_EQ(withReplay.Decoder->GetMarkSource(), replay.get());
}

TEST(DecoderMarkSource, WithoutOneATestRunsAndFixesAreIgnored) {
  TRig rig(nullptr);
  int32_t hostCalls = 0;
  rig.Decoder->SetRecordCountCallback({[](void* c, int32_t) { return ++*static_cast<int32_t*>(c); },
                                       &hostCalls});
  rig.Decoder->SetRecordAtCallback(
      {[](void* c, int32_t, int32_t) -> TTestDataRecord* { return ++*static_cast<int32_t*>(c), nullptr; },
       &hostCalls});

  rig.Decoder->StartTest();
  EXPECT_EQ(rig.Decoder->GetSessionMode(), smTesting);
  rig.Decoder->NewPosition(TPositionBlock{10.0, 20.0, 45000.6});
  EXPECT_EQ(hostCalls, 0);
  EXPECT_FALSE(rig.Decoder->GetPositionsChanged());
  const TPositionBlock last = rig.Decoder->GetLastPosition();
  EXPECT_EQ(last.Time, 0.0);
  rig.Decoder->StopTest();
  EXPECT_EQ(rig.Decoder->GetSessionMode(), smIdle);
}

// --- Stored records ---------------------------------------------------------

TEST(DecoderStoredRecords, CountFollowsTheNewRecordsFlagAndReleasesAreSafe) {
  const int64_t blocks = SharedLiveBlocks();
  const int64_t badFrees = SharedBadFrees();
  {
    TDecoderMarkSource replay("drive.rec");  // replaying: nothing goes to the handset
    TRig rig(replay.get());
    TOrvik7316MSDecode& d = *rig.Decoder;
    d.SetSessionMode(smTesting);
    rig.Receive(std::string(IdleLine) + std::string(DedicatedLine) + std::string(AlertingLine));

    ASSERT_EQ(d.GetStoredRecordCount(), 3);
    std::vector<TTestDataRecord*> stored;
    for (int32_t i = 0; i < 3; ++i) {
      stored.push_back(d.GetStoredRecord(i));
      ASSERT_NE(stored.back(), nullptr);
      EXPECT_NE(stored.back(), rig.Working()) << "the working record itself was stored";
    }
    EXPECT_EQ(MessageIdOf(*stored[2]), 0x301);
    EXPECT_EQ(d.GetStoredRecord(3), nullptr);
    EXPECT_EQ(d.GetStoredRecord(-1), nullptr);

    // A released index reads as none and a second release frees nothing.
    EXPECT_TRUE(d.FreeStoredRecord(1));
    EXPECT_EQ(d.GetStoredRecord(1), nullptr);
    EXPECT_TRUE(d.FreeStoredRecord(1));
    EXPECT_TRUE(d.FreeStoredRecord(7));
    EXPECT_EQ(SharedBadFrees(), badFrees);
    EXPECT_EQ(d.GetStoredRecordCount(), 3);
    EXPECT_EQ(d.GetStoredRecord(2), stored[2]);

    // Clearing forgets the rest without releasing them: they are the host's.
    EXPECT_TRUE(d.ClearStoredRecords());
    EXPECT_EQ(d.GetStoredRecordCount(), 0);
    EXPECT_FALSE(d.GetHasNewRecords());
    EXPECT_EQ(d.GetStoredRecord(0), nullptr);
    EXPECT_EQ(MessageIdOf(*stored[2]), 0x301);
    FreeTestData(stored[0]);
    FreeTestData(stored[2]);

    rig.Receive(IdleLine);
    EXPECT_EQ(d.GetStoredRecordCount(), 1);
    d.FreeStoredRecord(0);
  }
  EXPECT_EQ(SharedLiveBlocks(), blocks);
  EXPECT_EQ(SharedBadFrees(), badFrees);
}

TEST(DecoderStoredRecords, ARecordFreeTestDataKeepsAliveKeepsItsEntry) {
  TDecoderMarkSource replay("drive.rec");
  TRig rig(replay.get());
  TOrvik7316MSDecode& d = *rig.Decoder;
  d.SetSessionMode(smTesting);
  rig.Receive(std::string(IdleLine) + std::string(IdleLine));
  TTestDataRecord* kept = d.GetStoredRecord(0);
  ASSERT_NE(kept, nullptr);
  kept->HeaderWord |= hwStaticMark;  // the host marks a record it keeps
  const int64_t blocks = SharedLiveBlocks();

  EXPECT_FALSE(d.FreeStoredRecord(0)) << "a record still alive reported as released";
  EXPECT_EQ(d.GetStoredRecord(0), kept) << "the host lost its way to a live record";
  EXPECT_EQ(SharedLiveBlocks(), blocks);
  EXPECT_TRUE(d.FreeStoredRecord(1));
  EXPECT_EQ(d.GetStoredRecord(1), nullptr);

  kept->HeaderWord &= ~hwStaticMark;
  EXPECT_TRUE(d.FreeStoredRecord(0));
  EXPECT_EQ(d.GetStoredRecord(0), nullptr);
}

TEST(DecoderStoredRecords, ACountOfZeroWhileTheFlagIsClearEvenWithEntries) {
  TRig rig(nullptr);
  TOrvik7316MSDecode& d = *rig.Decoder;
  d.SetSessionMode(smTesting);
  rig.Receive(IdleLine);
  rig.Receive(IdleLine);
  ASSERT_EQ(d.GetStoredRecordCount(), 2);
  TTestDataRecord* first = d.GetStoredRecord(0);

  d.StartTest();  // a new test clears the flag, not the list
  EXPECT_EQ(d.GetStoredRecordCount(), 0);
  EXPECT_EQ(d.GetStoredRecord(0), first);
  rig.Receive(IdleLine);
  EXPECT_EQ(d.GetStoredRecordCount(), 3);
  for (int32_t i = 0; i < 3; ++i) d.FreeStoredRecord(i);
  d.ClearStoredRecords();
}

TEST(DecoderStoredRecords, AnUnknownSessionModeIsKeptAndIgnoresFrames) {
  TDecoderMarkSource replay("drive.rec");
  TRig rig(replay.get());
  rig.Decoder->SetSessionMode(7);
  EXPECT_EQ(rig.Decoder->GetSessionMode(), 7);
  rig.Receive(IdleLine);
  EXPECT_EQ(rig.Decoder->GetStoredRecordCount(), 0);
  EXPECT_EQ(rig.Decoder->GetStoredRecord(0), nullptr);
}

// --- The working record -----------------------------------------------------

TEST(DecoderWorkingRecord, StateSyncAndHostSettingTouchOnlyTheirByte) {
  TRig rig(nullptr);
  TTestDataRecord* r = rig.Working();
  ASSERT_NE(r, nullptr);
  const TTestDataRecord before = *r;

  r->StateByte = 4;
  r->ReportedStateByte = 1;
  rig.Decoder->SyncReportedState(-1);
  EXPECT_EQ(r->ReportedStateByte, 4);
  EXPECT_EQ(r->StateByte, 4);
  rig.Decoder->SyncReportedState(0);  // already equal
  EXPECT_EQ(r->ReportedStateByte, 4);

  struct {
    int32_t Argument;
    uint8_t Stored;
  } const settings[] = {{1, 1}, {0x1FF, 0xFF}, {-256, 0}, {0x12345678, 0x78}};
  for (const auto& s : settings) {
    rig.Decoder->SetHostSetting(s.Argument);
    EXPECT_EQ(r->HostSetting, s.Stored) << s.Argument;
  }

  // Nothing else in the header moved.
  TTestDataRecord after = *r;
  after.StateByte = before.StateByte;
  after.ReportedStateByte = before.ReportedStateByte;
  after.HostSetting = before.HostSetting;
  EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0);
}

// --- Values kept for the host ---------------------------------------------

TEST(DecoderSlots, KeptValuesRoundTripPerDecoderAndSitAtTheirSlots) {
  TDecoderMarkSource marksA, marksB;
  TRig a(marksA.get()), b(marksB.get());
  int context = 0;
  const TKeptValues one = TKeptValues::ForSeed(1, marksB.get(), &b.Port, &context);
  const TKeptValues two = TKeptValues::ForSeed(2, marksA.get(), &a.Port, nullptr);

  one.ApplyTo(*a.Decoder);
  one.ExpectShownBy(*a.Decoder);
  decoder_test::ExpectFreshDecoder(*b.Decoder, false);
  two.ApplyTo(*b.Decoder);
  two.ExpectShownBy(*b.Decoder);
  one.ExpectShownBy(*a.Decoder);

  decoder_test::ExpectSlotPositions(*a.Decoder);
  decoder_test::ExpectSlotPositions(*b.Decoder);

  // The same call state again changes nothing; null callbacks count as none.
  a.Decoder->SetCallState(one.CallState);
  EXPECT_EQ(a.Decoder->GetCallState(), one.CallState);
  a.Decoder->SetRecordCountCallback({nullptr, &context});
  EXPECT_EQ(a.Decoder->GetRecordCountCallback().Code, nullptr);
}

TEST(DecoderSlots, ReservedSlotsAreInertAndMissingOnesRaise) {
  TRig fresh(nullptr);
  decoder_test::ExpectReservedSlotsInert(*fresh.Decoder);

  TDecoderMarkSource marks;
  TRig used(marks.get());
  TKeptValues::ForSeed(1, marks.get(), &used.Port, nullptr).ApplyTo(*used.Decoder);
  decoder_test::ExpectReservedSlotsInert(*used.Decoder);
}

// --- Sequences call the interface, not the implementation ---------------------

// Overrides a handful of slots, logs each call and, when told to, swallows
// it instead of passing it on.
class TProbeDecoder : public TOrvik7316MSDecode {
 public:
  static std::unique_ptr<TProbeDecoder> Make(TDevicePort* port, TGPSMarkSource* marks) {
    std::unique_ptr<THandsetFields> store(NewHandsetFieldsInstance());
    std::unique_ptr<TProbeDecoder> d(new TProbeDecoder(port, marks, store.get()));
    store.release();
    return d;
  }

  std::vector<std::string> Calls;
  bool Swallow = false;
  TDevicePort* PortOverride = nullptr;

  TDevicePort* GetPort() override {
    Calls.push_back("GetPort");
    return PortOverride ? PortOverride : TOrvik7316MSDecode::GetPort();
  }
  void SetSessionMode(uint8_t mode) override {
    Calls.push_back("SetSessionMode " + std::to_string(mode));
    if (!Swallow) TOrvik7316MSDecode::SetSessionMode(mode);
  }
  void EnterIdle() override {
    Calls.push_back("EnterIdle");
    if (!Swallow) TOrvik7316MSDecode::EnterIdle();
  }
  void SetDedicatedMode(bool value) override {
    Calls.push_back(std::string("SetDedicatedMode ") + (value ? "1" : "0"));
    if (!Swallow) TOrvik7316MSDecode::SetDedicatedMode(value);
  }
  void SetCallState(uint8_t state) override {
    Calls.push_back("SetCallState " + std::to_string(state));
    if (!Swallow) TOrvik7316MSDecode::SetCallState(state);
  }
  // Reads the stored list back to front when Reversed is set.
  TTestDataRecord* GetStoredRecord(int32_t index) override {
    Calls.push_back("GetStoredRecord " + std::to_string(index));
    const int32_t count = TOrvik7316MSDecode::GetStoredRecordCount();
    return TOrvik7316MSDecode::GetStoredRecord(Reversed ? count - 1 - index : index);
  }
  bool Reversed = false;

 private:
  using TOrvik7316MSDecode::TOrvik7316MSDecode;
};

TEST(DecoderThroughInterface, TheReceivePathSetsModeAndCallStateThroughTheirSlots) {
  TDecoderMarkSource replay("drive.rec");
  TRecordingPort port;
  auto d = TProbeDecoder::Make(&port, replay.get());
  d->SetSessionMode(smTesting);
  d->Calls.clear();
  d->Swallow = true;

  const std::string bytes = std::string(DedicatedLine) + std::string(AlertingLine);
  d->ReceiveBytes(bytes.data(), static_cast<int32_t>(bytes.size()), 0);

  EXPECT_EQ(d->GetStoredRecordCount(), 2);
  // Per frame: the call state from the message, then the mode from the record.
  EXPECT_EQ(d->Calls, (std::vector<std::string>{"SetDedicatedMode 1", "SetCallState 1",
                                                "SetDedicatedMode 1"}));
  // The overrides kept the values away from the decoder.
  EXPECT_FALSE(d->IsDedicatedMode());
  EXPECT_EQ(d->GetCallState(), csIdle);
  for (int32_t i = 0; i < 2; ++i) d->FreeStoredRecord(i);
}

TEST(DecoderThroughInterface, ReleasingAStoredRecordTakesItFromSlot36) {
  const int64_t blocks = SharedLiveBlocks();
  const int64_t badFrees = SharedBadFrees();
  {
    TDecoderMarkSource replay("drive.rec");
    TRecordingPort port;
    auto d = TProbeDecoder::Make(&port, replay.get());
    d->SetSessionMode(smTesting);
    const std::string bytes = std::string(IdleLine) + std::string(AlertingLine);
    d->ReceiveBytes(bytes.data(), static_cast<int32_t>(bytes.size()), 0);
    d->Reversed = true;
    TTestDataRecord* const alerting = d->GetStoredRecord(0);
    ASSERT_NE(alerting, nullptr);
    ASSERT_EQ(MessageIdOf(*alerting), 0x301);
    d->Calls.clear();

    EXPECT_TRUE(d->FreeStoredRecord(0));
    EXPECT_EQ(d->Calls, std::vector<std::string>{"GetStoredRecord 0"});
    EXPECT_EQ(d->GetStoredRecord(0), nullptr) << "the record slot 36 gave was not the one cleared";
    d->Reversed = false;
    EXPECT_NE(d->GetStoredRecord(0), nullptr) << "the record at the box's own index was touched";
    EXPECT_TRUE(d->FreeStoredRecord(0));
  }
  EXPECT_EQ(SharedLiveBlocks(), blocks);
  EXPECT_EQ(SharedBadFrees(), badFrees);
}

TEST(DecoderThroughInterface, StartTestEntersIdleAndClearsTheModeThroughTheirSlots) {
  TRecordingPort port;
  auto d = TProbeDecoder::Make(&port, nullptr);
  TStillClock clock;
  d->SetClock(clock.Clock());
  d->SetDedicatedMode(true);
  d->Calls.clear();

  d->StartTest();
  EXPECT_EQ(d->Calls, (std::vector<std::string>{"EnterIdle", "SetDedicatedMode 0"}));
  EXPECT_EQ(d->GetSessionMode(), smTesting);
  EXPECT_FALSE(d->IsDedicatedMode());
}

TEST(DecoderThroughInterface, ConnectTakesThePortItPreparesFromItsSlot) {
  TRecordingPort held, offered;
  auto d = TProbeDecoder::Make(&held, nullptr);
  TStillClock clock;
  d->SetClock(clock.Clock());
  d->PortOverride = &offered;

  d->Connect(false);
  ASSERT_FALSE(d->Calls.empty());
  EXPECT_EQ(d->Calls.front(), "SetSessionMode 1");
  EXPECT_EQ(d->GetSessionMode(), smConnecting);
  // Opened and prepared: the port slot 9 gives; the request goes to the
  // port the decoder holds.
  EXPECT_EQ(offered.Names(), (std::vector<std::string>{"IsOpen", "Open", "SetOptionByte", "SetOptionA",
                                                        "SetOptionB", "EnableA", "EnableB", "PurgeA",
                                                        "PurgeB"}));
  EXPECT_EQ(held.Names(), std::vector<std::string>{"Write"});
}

}  // namespace
