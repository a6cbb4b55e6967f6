// Faults of the port, the decoding library and the disk, one table, one
// runner. Each row arms its fault, then the host starts a session (catching
// what reaches it, as a host must) and sends a stream of report lines, with
// something done halfway through for some rows. The process lives, exactly
// the frames the fault hits are lost, every frame after the fault is decoded
// and stored, and once the host has released everything no shared block is left.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "plugin/Orvik7316MSDecode.h"
#include "tests/common/RecordingPort.h"
#include "tests/common/SharedMemoryTest.h"
#include "tests/reliability/DecodingTap.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t Lines = 24;

std::string LineFor(int32_t i) {
  switch (i % 3) {
    case 0: return "IDLE,62,23,41,35,41,60:12:30\r\n";
    case 1: return "DED,62,23,38,36,2,1,3,5\r\n";
    default: return "L3,0621A0\r\n";
  }
}

struct TFaultRig {
  TRecordingPort Port;
  int32_t MarkCounter = 0;
  TPositionBlock Latest{0, 0, 0};
  TGPSMarkSource Marks{nullptr, &MarkCounter, &Latest};
  std::unique_ptr<TOrvik7316MSDecode> D;
  fs::path Folder;
  TByteString LogName;

  void SetLog(const fs::path& file) {
    LogName = TByteString(file.string());
    D->SetLogFileName(LogName.Raw());
    D->SetLogEnabled(true);
  }
};

struct TFault {
  const char* Name;
  std::function<void(TFaultRig&)> Arm;
  std::function<void(TFaultRig&)> HostStart;  // what the host does first; may raise
  bool StartRaises;
  std::function<void(TFaultRig&)> Halfway;    // may raise; the host carries on
  int32_t Lost;                               // frames the fault costs
};

void PrintTo(const TFault& fault, std::ostream* out) { *out << fault.Name; }

void Connect(TFaultRig& rig) { rig.D->Connect(false); }
void StartTest(TFaultRig& rig) { rig.D->ResetAndStartTest(); }

const TFault Faults[] = {
    {"port Write raises on chosen calls", [](TFaultRig& r) { r.Port.Fault("Write").OnCall(3); }, StartTest, false,
     [](TFaultRig& r) { r.Port.Fault("Write").OnCall(2); }, 0},
    {"port Write raises a non-standard exception",
     [](TFaultRig& r) {
       r.Port.Fault("Write").NonStandard = true;
       r.Port.Fault("Write").Always();
     },
     StartTest, false, nullptr, 0},
    {"port Open fails", [](TFaultRig& r) { r.Port.Fault("Open").Always(); }, Connect, true, nullptr, 0},
    {"port CurrentTime raises once", [](TFaultRig& r) { r.Port.Fault("CurrentTime").OnCall(5); }, StartTest, false,
     nullptr, 1},
    {"port CurrentTime raises from the start", [](TFaultRig& r) { r.Port.Fault("CurrentTime").Always(); },
     StartTest, true, [](TFaultRig& r) { r.Port.Fault("CurrentTime").Never(); }, Lines / 2},
    {"decoding library raises on chosen frames",
     [](TFaultRig&) {
       DecodingTap().RaiseFrom = 2;
       DecodingTap().RaiseEvery = 5;
     },
     StartTest, false, nullptr, (Lines - 2) / 5 + 1},
    {"log file on a full disk", [](TFaultRig&) {}, StartTest, false,
     [](TFaultRig& r) {
       r.SetLog("/dev/full");
     },
     0},
    {"log folder disappears mid-session",
     [](TFaultRig& r) {
       r.Folder = fs::temp_directory_path() / ("orvik-faults-" + std::to_string(::getpid()));
       fs::create_directories(r.Folder);
       r.D->SetLogFileName(TByteString((r.Folder / "a.log").string()).Raw());
       r.D->SetLogEnabled(true);
     },
     StartTest, false,
     [](TFaultRig& r) {
       fs::remove_all(r.Folder);
       r.SetLog(r.Folder / "b.log");  // raises: the folder is gone
     },
     0},
};

class FaultTable : public SharedMemoryTest, public ::testing::WithParamInterface<TFault> {
 protected:
  void SetUp() override {
    SharedMemoryTest::SetUp();
    ResetDecodingTap();
  }
  void TearDown() override {
    ResetDecodingTap();
    SharedMemoryTest::TearDown();
  }
};

TEST_P(FaultTable, ProcessLivesAndLaterFramesAreStored) {
  const TFault& fault = GetParam();
  int32_t stored = 0, storedAfterHalfway = 0;
  {
    TFaultRig rig;
    rig.D.reset(TOrvik7316MSDecode::Create(&rig.Port, &rig.Marks));
    ASSERT_NE(rig.D, nullptr);
    rig.D->SetClock({[](void*) { return 45000.5; }, [](void*, uint32_t) {}, nullptr});
    fault.Arm(rig);
    bool raised = false;
    try {
      fault.HostStart(rig);
    } catch (...) {
      raised = true;
    }
    EXPECT_EQ(raised, fault.StartRaises);
    if (raised) {
      try {
        rig.D->StartTest();  // the host tries again without the failing step
      } catch (...) {
        // and carries on whatever the outcome
      }
    }
    for (int32_t i = 0; i < Lines; ++i) {
      if (i == Lines / 2 && fault.Halfway) {
        stored = rig.D->GetStoredRecordCount();
        try {
          fault.Halfway(rig);
        } catch (...) {
          // the host carries on
        }
      }
      const std::string line = LineFor(i);
      rig.D->ReceiveBytes(line.data(), static_cast<int32_t>(line.size()), 0);
    }
    const int32_t total = rig.D->GetStoredRecordCount();
    if (fault.Halfway) storedAfterHalfway = total - stored;
    EXPECT_EQ(total, Lines - fault.Lost) << fault.Name;
    if (fault.Halfway && fault.Lost == 0) {
      EXPECT_EQ(storedAfterHalfway, Lines - Lines / 2) << "a frame after the fault was lost";
    }
    for (int32_t i = 0; i < total; ++i) {
      ASSERT_NE(rig.D->GetStoredRecord(i), nullptr);
      EXPECT_TRUE(rig.D->FreeStoredRecord(i));
    }
    rig.D->ClearStoredRecords();
    rig.D->StopTest();
    rig.D.reset();  // closes the log file: on the full disk that fails, contained
    if (!rig.Folder.empty()) fs::remove_all(rig.Folder);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTable, ::testing::ValuesIn(Faults),
                         [](const ::testing::TestParamInfo<TFault>& info) {
                           std::string name;
                           for (const char* c = info.param.Name; *c; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           return name;
                         });

}  // namespace
