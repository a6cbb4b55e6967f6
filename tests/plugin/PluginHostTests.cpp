// A test host: loads the built plug-in as a host does, finds its four
// entry points by their plain names and drives the decoders it hands out
// through the decoder interface only. Nothing of the plug-in is linked in.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "host/SharedMM.h"
#include "plugin/Orvik7316.h"
#include "tests/common/DecoderSlotChecks.h"
#include "tests/common/RecordingPort.h"
#include "tests/plugin/PluginLibrary.h"

namespace {

using decoder_test::TDecoderMarkSource;
using decoder_test::TKeptValues;

// The reference count of a shared string (the 32-bit word two before its bytes).
int32_t RefCountOf(PSharedStr s) { return reinterpret_cast<const int32_t*>(s)[-2]; }

struct TEntryPoints {
  TGetDeviceName GetDeviceName = nullptr;
  TGetDeviceType GetDeviceType = nullptr;
  TGetDeviceFrequency GetDeviceFrequency = nullptr;
  TGetDllDevice GetDllDevice = nullptr;

  explicit TEntryPoints(const TPluginLibrary& lib)
      : GetDeviceName(lib.Function<TGetDeviceName>("GetDeviceName")),
        GetDeviceType(lib.Function<TGetDeviceType>("GetDeviceType")),
        GetDeviceFrequency(lib.Function<TGetDeviceFrequency>("GetDeviceFrequency")),
        GetDllDevice(lib.Function<TGetDllDevice>("GetDllDevice")) {}
};

const std::string PlugInFile = TPluginLibrary::PlugInFileName("Orvik7316");

class PluginHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Library = new TPluginLibrary(PlugInFile);
    Entries = new TEntryPoints(*Library);
  }
  static void TearDownTestSuite() {
    delete Entries;
    delete Library;
  }

  void SetUp() override {
    ASSERT_NE(Entries->GetDeviceName, nullptr);
    ASSERT_NE(Entries->GetDeviceType, nullptr);
    ASSERT_NE(Entries->GetDeviceFrequency, nullptr);
    ASSERT_NE(Entries->GetDllDevice, nullptr);
    Blocks = SharedLiveBlocks();
    BadFrees = SharedBadFrees();
  }
  // Every test releases all it obtained: the shared heap is as it was.
  void TearDown() override {
    EXPECT_EQ(SharedLiveBlocks(), Blocks) << "shared blocks leaked";
    EXPECT_EQ(SharedBadFrees(), BadFrees) << "a shared block was released twice";
  }

  // A new decoder from the plug-in, seen as the handset decoder it is.
  struct TDecoderDeleter {
    void operator()(TVirtualDecode* d) const { delete d; }
  };
  using TDecoderRef = std::unique_ptr<TVirtualDecode, TDecoderDeleter>;
  static TDecoderRef NewDecoder(TDevicePort* port, TGPSMarkSource* marks) {
    return TDecoderRef(Entries->GetDllDevice(port, marks));
  }
  static THandSetDecode& Handset(const TDecoderRef& d) {
    auto* handset = dynamic_cast<THandSetDecode*>(d.get());
    if (!handset) throw std::runtime_error("the plug-in's decoder is not a handset decoder");
    return *handset;
  }

  static TPluginLibrary* Library;
  static TEntryPoints* Entries;
  int64_t Blocks = 0;
  int64_t BadFrees = 0;
};

TPluginLibrary* PluginHost::Library = nullptr;
TEntryPoints* PluginHost::Entries = nullptr;

TEST_F(PluginHost, ExportsOnlyThePlainEntryPoints) {
  // The decoder's own code stays inside the library.
  EXPECT_EQ(Library->Find("DeviceName"), nullptr);
  EXPECT_EQ(Library->Find("_ZN18TOrvik7316MSDecode6CreateEP11TDevicePortP14TGPSMarkSource"), nullptr);
  EXPECT_EQ(Library->Find("GetDllDevice@8"), nullptr);
  EXPECT_EQ(Library->Find("_GetDllDevice@8"), nullptr);
}

TEST_F(PluginHost, IdentifiesTheDeviceOnEveryCall) {
  char bytes[] = "kept";
  PSharedStr kept = SharedStrNew(bytes, 4);
  for (int call = 0; call < 3; ++call) {
    PSharedStr name = kept;
    Entries->GetDeviceName(&name);
    ASSERT_NE(name, nullptr);
    EXPECT_NE(name, kept);
    EXPECT_EQ(std::string_view(name, static_cast<std::size_t>(SharedStrLength(name))), "Orvik7316");
    EXPECT_EQ(SharedStrLength(name), 9);
    EXPECT_EQ(RefCountOf(kept), 1) << "the caller's old string was released";
    SharedStrRelease(name);
    EXPECT_EQ(Entries->GetDeviceType(), 1);
    EXPECT_EQ(Entries->GetDeviceFrequency(), 3);
  }
  SharedStrRelease(kept);
}

TEST_F(PluginHost, FreshDecodersStartClosedAndConnectedOnlyInReplay) {
  TRecordingPort port;
  TDecoderMarkSource live, replay("drive.rec");
  TDecoderRef a = NewDecoder(&port, live.get());
  TDecoderRef b = NewDecoder(&port, replay.get());
  ASSERT_TRUE(a && b);
  EXPECT_NE(a.get(), b.get());
  decoder_test::ExpectFreshDecoder(Handset(a), false);
  decoder_test::ExpectFreshDecoder(Handset(b), true);
  EXPECT_EQ(a->GetPort(), &port);
  EXPECT_EQ(b->GetMarkSource(), replay.get());
  EXPECT_TRUE(port.Calls().empty()) << "a new decoder touched the port";
}

TEST_F(PluginHost, TwoDecodersShareNothingButTheHostsObjects) {
  TRecordingPort port;
  TDecoderMarkSource replay("drive.rec");
  TDecoderRef a = NewDecoder(&port, replay.get());
  TDecoderRef b = NewDecoder(&port, replay.get());
  ASSERT_TRUE(a && b);
  THandSetDecode& ha = Handset(a);
  THandSetDecode& hb = Handset(b);

  int context = 0;
  const TKeptValues one = TKeptValues::ForSeed(1, replay.get(), &port, &context);
  one.ApplyTo(ha);
  one.ExpectShownBy(ha);
  decoder_test::ExpectFreshDecoder(hb, true);
  const TKeptValues two = TKeptValues::ForSeed(2, replay.get(), &port, nullptr);
  two.ApplyTo(hb);
  two.ExpectShownBy(hb);
  one.ExpectShownBy(ha);
  decoder_test::ExpectSlotPositions(ha);
  decoder_test::ExpectSlotPositions(hb);

  // Frames reach only the decoder they were given to (replaying: nothing is sent).
  ha.SetSessionMode(3);
  hb.SetSessionMode(3);
  const std::string_view line = "IDLE,62,23,41,35,41\r";
  ha.ReceiveBytes(line.data(), static_cast<int32_t>(line.size()), 0);
  EXPECT_EQ(ha.GetStoredRecordCount(), 1);
  EXPECT_EQ(hb.GetStoredRecordCount(), 0);
  EXPECT_EQ(hb.GetStoredRecord(0), nullptr);
  EXPECT_TRUE(port.Writes().empty());

  // The host releases what it read, then the decoders.
  EXPECT_TRUE(ha.FreeStoredRecord(0));
  EXPECT_TRUE(ha.ClearStoredRecords());
  EXPECT_EQ(ha.GetStoredRecordCount(), 0);
}

TEST_F(PluginHost, ReservedSlotsAreInertAndMissingOnesRaiseAcrossTheBoundary) {
  TRecordingPort port;
  TDecoderMarkSource marks;
  TDecoderRef d = NewDecoder(&port, marks.get());
  ASSERT_TRUE(d);
  decoder_test::ExpectReservedSlotsInert(Handset(d));
  TKeptValues::ForSeed(2, marks.get(), &port, nullptr).ApplyTo(Handset(d));
  decoder_test::ExpectReservedSlotsInert(Handset(d));
}

// Unloading the plug-in gives back the name it made when it was loaded.
TEST(PluginLibraryLoad, UnloadingReleasesTheDeviceName) {
  const int64_t before = SharedLiveBlocks();
  {
    TPluginLibrary library(PlugInFile);
    EXPECT_GT(SharedLiveBlocks(), before);
  }
  EXPECT_EQ(SharedLiveBlocks(), before);
}

}  // namespace
