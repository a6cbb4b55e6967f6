// Out of memory at every allocation. Each scenario runs its operation again
// and again: first with only the Nth allocation failing, then with every
// allocation from the Nth on failing, for N = 1, 2, ... until the operation
// completes without reaching a failure; once for the shared memory manager,
// once for the C++ heap. After every run the failure must have been
// contained where the design contains it, the decoder must still decode and
// store, and both allocators' live blocks (and shared bytes) must be back
// where they were before the run.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "plugin/Orvik7316.h"
#include "plugin/Orvik7316MSDecode.h"
#include "tests/common/RecordingPort.h"
#include "tests/reliability/AllocationFailures.h"
#include "tests/reliability/DecodingTap.h"
#include "tests/reliability/RecordShapes.h"
#include "tests/testdata/RecordTestSupport.h"

namespace {

constexpr std::size_t HeaderBytes = offsetof(TTestDataRecord, KindData);
constexpr std::string_view IdleLine = "IDLE,62,23,41,35,41,60:12:30\r";

std::string LogPath() {
  return (std::filesystem::temp_directory_path() / ("orvik-oom-" + std::to_string(::getpid()) + ".log")).string();
}

// Everything one run needs, made before failures are armed.
struct TRig {
  TRecordingPort Port;
  int32_t MarkCounter = 0;
  TPositionBlock Latest{10.0, 20.0, 45000.0};
  TGPSMarkSource Marks{nullptr, &MarkCounter, &Latest};
  std::unique_ptr<TVirtualDecode> Decoder;
  const TTestDataRecord* Shape = nullptr;  // what the library decodes test frames into
  std::vector<TTestDataRecord*> HostRecords;
  TTestDataRecord* Copy = nullptr;
  PSharedStr Text = nullptr;

  THandSetDecode& D() { return static_cast<THandSetDecode&>(*Decoder); }
  // With marks, a test start also starts a watcher thread; only the
  // scenarios that need marks have them.
  bool WithMarks = false;
  void MakeDecoder() {
    Decoder.reset(GetDllDevice(&Port, WithMarks ? &Marks : nullptr));
    ASSERT_NE(Decoder, nullptr);
    static_cast<TOrvik7316MSDecode&>(*Decoder).SetClock(
        {[](void*) { return 45000.5; }, [](void*, uint32_t) {}, nullptr});
    Decoder->StartTest();
  }
  void Feed(std::string_view bytes) { Decoder->ReceiveBytes(bytes.data(), static_cast<int32_t>(bytes.size()), 0); }
  ~TRig() {
    if (Decoder) {
      for (int32_t i = 0; i < 64; ++i) D().FreeStoredRecord(i);
      Decoder.reset();
    }
    for (TTestDataRecord* r : HostRecords) FreeTestData(r);
    FreeTestData(Copy);
    SharedStrRelease(Text);
  }
};

// The stored record at `index` holds what the library decoded.
void ExpectStoredShape(TRig& rig, int32_t index) {
  const TTestDataRecord* stored = rig.D().GetStoredRecord(index);
  ASSERT_NE(stored, nullptr);
  if (!rig.Shape) return;
  const std::vector<uint8_t> got = WalkRecord(stored).Bytes, want = WalkRecord(rig.Shape).Bytes;
  ASSERT_EQ(got.size(), want.size());
  EXPECT_TRUE(std::equal(got.begin() + HeaderBytes, got.end(), want.begin() + HeaderBytes)) << "stored sub-record differs";
}

// The decoder, after whatever happened, still decodes and stores.
void ExpectDecoderWorks(TRig& rig) {
  if (!rig.Decoder) return;
  if (rig.D().GetSessionMode() != smTesting) rig.D().StartTest();
  const int32_t before = rig.D().GetStoredRecordCount();
  rig.Feed(rig.Shape ? std::string_view("frame\r") : IdleLine);
  ASSERT_EQ(rig.D().GetStoredRecordCount(), before + 1) << "the decoder no longer stores records";
  ExpectStoredShape(rig, before);
}

struct TScenario {
  std::string Name;
  std::function<void(TRig&)> Prepare;
  std::function<void(TRig&)> Operation;  // runs with failures armed
  bool MayRaiseBadAlloc;                 // the operation's contract lets std::bad_alloc out
  std::function<void(TRig&)> After;      // checks once failures are disarmed
};

struct TFigures {
  int64_t Points = 0;  // runs that reached a failure
  int64_t Lost = 0;    // blocks not back, over all runs
};

// Runs one scenario to exhaustion for one allocator and pass.
TFigures Exhaust(const TScenario& s, TAllocator allocator, bool andAfter) {
  TFigures f;
  for (int64_t n = 1;; ++n) {
    const int64_t shared0 = SharedLiveBlocks(), bytes0 = SharedLiveBytes(), heap0 = LiveHeapBlocks();
    int64_t seen = 0;
    {
      TRig rig;
      if (s.Prepare) s.Prepare(rig);
      FailAllocations(allocator, n, andAfter);
      try {
        s.Operation(rig);
      } catch (const std::bad_alloc&) {
        if (!s.MayRaiseBadAlloc) ADD_FAILURE() << s.Name << ": std::bad_alloc escaped at allocation " << n;
      } catch (const std::exception& e) {
        ADD_FAILURE() << s.Name << ": " << e.what() << " escaped at allocation " << n;
      }
      seen = AllocationsSeen(allocator);
      FailAllocations(allocator, 0, false);
      if (s.After) s.After(rig);
      ExpectDecoderWorks(rig);
    }
    const int64_t lost = (SharedLiveBlocks() - shared0) + (LiveHeapBlocks() - heap0);
    f.Lost += lost < 0 ? -lost : lost;
    EXPECT_EQ(SharedLiveBlocks(), shared0) << s.Name << ", allocation " << n;
    EXPECT_EQ(SharedLiveBytes(), bytes0) << s.Name << ", allocation " << n;
    EXPECT_EQ(LiveHeapBlocks(), heap0) << s.Name << ", heap allocation " << n;
    if (seen < n || ::testing::Test::HasFailure()) break;
    ++f.Points;
  }
  return f;
}

// Every shape of sub-record: kinds 0-3 with each set of their block bits,
// kind 4, and the compact layout.
std::vector<TRecordShape> AllShapes(uint8_t kind) {
  std::vector<TRecordShape> shapes;
  TRecordShape base;
  base.Kind = kind;
  base.Items = 2;
  base.BufferSize = 9;
  base.EntryLengths = {3, 0, 17};
  base.Tags = 2;
  base.MessageWord = 0x301;
  if (kind == tdkPHS) {
    shapes.push_back(base);
    base.Kind = tdkGSM;
    base.Compact = true;
    shapes.push_back(base);
    return shapes;
  }
  uint16_t bits = 0;
  for (unsigned b = 0; b < MaxOptionalBlocks; ++b)
    if (OptionalBlockSize(kind, b)) bits = static_cast<uint16_t>(bits | 1u << b);
  // Every subset of the block bits.
  for (uint16_t flags = bits;; flags = static_cast<uint16_t>((flags - 1) & bits)) {
    base.Flags = flags;
    shapes.push_back(base);
    if (flags == 0) break;
  }
  return shapes;
}

void Report(const std::string& name, TFigures only, TFigures from, TFigures heapOnly, TFigures heapFrom) {
  std::printf("oom: %-34s shared %5lld / %5lld points, heap %4lld / %4lld points, blocks lost %lld\n", name.c_str(),
              static_cast<long long>(only.Points), static_cast<long long>(from.Points),
              static_cast<long long>(heapOnly.Points), static_cast<long long>(heapFrom.Points),
              static_cast<long long>(only.Lost + from.Lost + heapOnly.Lost + heapFrom.Lost));
}

void RunAll(const std::string& name, const std::vector<TScenario>& scenarios) {
  TFigures sum[4];
  for (const TScenario& s : scenarios) {
    int i = 0;
    for (TAllocator a : {TAllocator::Shared, TAllocator::Heap})
      for (bool andAfter : {false, true}) {
        const TFigures f = Exhaust(s, a, andAfter);
        sum[i].Points += f.Points;
        sum[i++].Lost += f.Lost;
        if (::testing::Test::HasFailure()) return;
      }
  }
  Report(name, sum[0], sum[1], sum[2], sum[3]);
}

class OutOfMemory : public ::testing::Test {
 protected:
  void SetUp() override { ResetDecodingTap(); }
  void TearDown() override { ResetDecodingTap(); }

  // The tap decodes test frames into copies of rig.Shape (with the record
  // functions), or passes them to the stand-in when there is none.
  static void ShapeFrom(TRig& rig) {
    if (!rig.Shape) {
      DecodingTap().Shape = nullptr;
      return;
    }
    DecodingTap().Shape = [&rig](std::string_view) { return CopyTestData(rig.Shape); };
  }
};

TEST_F(OutOfMemory, ConstructionThroughTheExport) {
  RunAll("construction (GetDllDevice)",
         {{"construction", nullptr,
           [](TRig& rig) {
             rig.Decoder.reset(GetDllDevice(&rig.Port, nullptr));  // null when out of memory
           },
           false,
           [](TRig& rig) {
             if (!rig.Decoder) rig.MakeDecoder();
           }}});
}

TEST_F(OutOfMemory, TestFrameDecodedAndStoredForEveryKindAndBlockSet) {
  for (uint8_t kind = 0; kind <= tdkPHS; ++kind) {
    const std::vector<TRecordShape> shapes = AllShapes(kind);
    std::vector<TTestDataRecord*> built;
    std::vector<TScenario> scenarios;
    for (const TRecordShape& shape : shapes) {
      built.push_back(BuildShaped(shape));
      const TTestDataRecord* record = built.back();
      scenarios.push_back({"decode kind " + std::to_string(kind) + " flags " + std::to_string(shape.Flags) +
                               (shape.Compact ? " compact" : ""),
                           [record](TRig& rig) {
                             rig.Shape = record;
                             ShapeFrom(rig);
                             rig.MakeDecoder();
                           },
                           [](TRig& rig) { rig.Feed("frame\r"); },  // slot 19 never raises
                           false,
                           [](TRig& rig) {
                             // Stored whole or not at all.
                             const int32_t n = rig.D().GetStoredRecordCount();
                             ASSERT_LE(n, 1);
                             if (n == 1) ExpectStoredShape(rig, 0);
                           }});
    }
    RunAll("decode and store, kind " + std::to_string(kind) + " (" + std::to_string(shapes.size()) + " shapes)",
           scenarios);
    for (TTestDataRecord* r : built) FreeTestData(r);
    if (HasFailure()) return;
  }
}

TEST_F(OutOfMemory, TestFrameThroughTheStandInDecodingLibrary) {
  RunAll("decode and store, stand-in library",
         {{"stand-in", [](TRig& rig) { rig.MakeDecoder(); }, [](TRig& rig) { rig.Feed(IdleLine); }, false,
           [](TRig& rig) { ASSERT_LE(rig.D().GetStoredRecordCount(), 1); }}});
}

TEST_F(OutOfMemory, RecordCopyOfEveryShape) {
  std::vector<TTestDataRecord*> built;
  std::vector<TScenario> scenarios;
  for (uint8_t kind = 0; kind <= tdkPHS; ++kind)
    for (const TRecordShape& shape : AllShapes(kind)) {
      built.push_back(BuildShaped(shape));
      const TTestDataRecord* record = built.back();
      scenarios.push_back({"copy", nullptr, [record](TRig& rig) { rig.Copy = CopyTestData(record); }, true,
                           [record](TRig& rig) {
                             if (rig.Copy) {
                               EXPECT_EQ(DeepCopyFault(*record, *rig.Copy), "");
                             }
                           }});
    }
  RunAll("record copy (" + std::to_string(built.size()) + " shapes)", scenarios);
  for (TTestDataRecord* r : built) FreeTestData(r);
}

TEST_F(OutOfMemory, PositionStamping) {
  RunAll("position stamping",
         {{"stamping",
           [](TRig& rig) {
             rig.WithMarks = true;
             rig.MakeDecoder();
             for (int i = 0; i < 4; ++i) rig.HostRecords.push_back(NewTestData(tdkGSM));
             rig.D().SetRecordCountCallback(
                 {[](void* c, int32_t) { return static_cast<int32_t>(static_cast<TRig*>(c)->HostRecords.size()); },
                  &rig});
             rig.D().SetRecordAtCallback(
                 {[](void* c, int32_t, int32_t i) { return static_cast<TRig*>(c)->HostRecords[static_cast<std::size_t>(i)]; },
                  &rig});
             rig.MarkCounter = 1;
           },
           [](TRig& rig) { rig.D().NewPosition(rig.Latest); }, false,
           [](TRig& rig) {
             for (const TTestDataRecord* r : rig.HostRecords) EXPECT_EQ(Val(r->PositionX), 10.0);
           }}});
}

TEST_F(OutOfMemory, LogFileOpenAndDeviceNameAndDestruction) {
  const std::string path = LogPath();
  RunAll("log file open",
         {{"log file",
           [&path](TRig& rig) {
             rig.MakeDecoder();
             rig.Text = SharedStrNew(path.data(), static_cast<int32_t>(path.size()));
           },
           [](TRig& rig) { rig.D().SetLogFileName(rig.Text); }, true,
           [](TRig& rig) {
             rig.D().SetLogFileName(rig.Text);  // again, as a host would after the error
             rig.D().SetLogEnabled(true);
             ASSERT_TRUE(rig.D().GetLogEnabled());
           }}});
  std::filesystem::remove(path);
  RunAll("device name", {{"device name", nullptr,
                          [](TRig& rig) {
                            GetDeviceName(&rig.Text);  // null when out of memory
                          },
                          false,
                          [](TRig& rig) {
                            if (rig.Text) {
                              EXPECT_EQ(std::string_view(rig.Text, SharedStrLength(rig.Text)), "Orvik7316");
                            }
                          }}});
  RunAll("destruction",
         {{"destruction",
           [&path](TRig& rig) {
             rig.WithMarks = true;  // a watcher to stop as well
             rig.MakeDecoder();
             rig.Feed(IdleLine);
             rig.Text = SharedStrNew(path.data(), static_cast<int32_t>(path.size()));
             rig.D().SetLogFileName(rig.Text);
             for (int32_t i = 0; i < 4; ++i) rig.D().FreeStoredRecord(i);
           },
           [](TRig& rig) { rig.Decoder.reset(); }, false, nullptr}});
  std::filesystem::remove(path);
}

}  // namespace
