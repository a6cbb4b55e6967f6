// What the session tests share: a decoder on a recording port, a clock whose
// pauses land in the same timeline as the port's calls, a host mark source,
// a host record store, and a decoder whose slots can be watched.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "host/GPSMarkData.h"
#include "host/HandsetFields.h"
#include "platform/ByteString.h"
#include "plugin/Orvik7316MSDecode.h"
#include "testdata/DataAccessAPIUnit.h"
#include "tests/common/RecordingPort.h"
#include "tests/common/SharedMemoryTest.h"

namespace session_test {

constexpr double Day = 45292.0;  // 2024-01-01, local
constexpr double Second = 1.0 / 86400.0;

// Local time and pauses for the decoder. Each pause (and each mark a test
// adds) is noted with the number of port calls made before it, so that it
// can be placed among them.
class TRecordingClock {
 public:
  explicit TRecordingClock(const TRecordingPort* port = nullptr) : Port(port) {}

  double Now = Day + 0.5;
  int32_t NowFailures = 0;  // the next n readings throw

  struct TEntry {
    std::size_t AfterCalls;
    std::string Text;  // "P<ms>" for a pause
  };
  std::vector<TEntry> Entries;

  TDecoderClock Clock() { return {&ReadNow, &RecordPause, this}; }
  void Mark(std::string text) { Entries.push_back({CallsSoFar(), std::move(text)}); }
  void Clear() { Entries.clear(); }

 private:
  std::size_t CallsSoFar() const { return Port ? Port->Calls().size() : 0; }
  static double ReadNow(void* context) {
    auto* self = static_cast<TRecordingClock*>(context);
    if (self->NowFailures > 0) {
      --self->NowFailures;
      throw std::runtime_error("clock failed");
    }
    return self->Now;
  }
  static void RecordPause(void* context, uint32_t ms) {
    std::string text = std::to_string(ms);
    text.insert(text.begin(), 'P');
    static_cast<TRecordingClock*>(context)->Mark(std::move(text));
  }
  const TRecordingPort* Port;
};

// The port's calls and the clock's entries in the order they happened:
// "W:<bytes>" for a write, "P<ms>" for a pause, else the operation's name.
// CurrentTime readings are left out unless asked for.
inline std::vector<std::string> Timeline(const TRecordingPort& port, const TRecordingClock& clock,
                                         bool withClockReads = false) {
  const std::vector<TPortCall> calls = port.Calls();
  std::vector<std::string> out;
  std::size_t entry = 0;
  for (std::size_t i = 0; i <= calls.size(); ++i) {
    while (entry < clock.Entries.size() && clock.Entries[entry].AfterCalls == i) {
      out.push_back(clock.Entries[entry++].Text);
    }
    if (i == calls.size()) break;
    const TPortCall& c = calls[i];
    if (c.Name == "Write") {
      out.push_back("W:" + c.Bytes);
    } else if (withClockReads || c.Name != "CurrentTime") {
      out.push_back(c.Name);
    }
  }
  return out;
}

// Each command followed by its 5 ms pause.
inline std::vector<std::string> CommandsWithPauses(const std::vector<std::string>& commands) {
  std::vector<std::string> out;
  for (const std::string& c : commands) {
    out.push_back("W:" + c);
    out.push_back("P5");
  }
  return out;
}

const std::vector<std::string> StartupTexts{"\\C", "\\V", "C",  "E", "\\1", "\\3", "\\A", "9",
                                            "B",   "Q",   "T",  "I", "+I",  "J",   "+J"};
const std::vector<std::string> IdleRefreshTexts{"1", "\\1", "\\3", "3", "E"};
const std::vector<std::string> DedicatedRefreshTexts{"2", "3", "\\V"};

// The host's GPS mark object. The counter is written atomically, as the
// watcher thread reads it.
struct TMarks {
  int32_t Counter = 0;
  TPositionBlock Latest{-9999.0, -9999.0, 0.0};
  TByteString ReplayName;
  TGPSMarkSource Source{nullptr, &Counter, &Latest};

  void SetCount(int32_t n) { std::atomic_ref<int32_t>(Counter).store(n); }
  void SetReplay(bool on) {
    ReplayName = on ? TByteString(std::string_view("drive.rec")) : TByteString();
    Source.ReplayFileName = ReplayName.Raw();
  }
};

// The host's own store of this device's records, reached through slots 56/57.
struct THostStore {
  std::vector<TTestDataRecord*> Records;
  ~THostStore() { Release(); }
  void Release() {
    for (TTestDataRecord* r : Records) FreeTestData(r);
    Records.clear();
  }
  void Grow(int32_t n) {
    for (int32_t i = 0; i < n; ++i) Records.push_back(NewTestData(tdkGSM));
  }
  void InstallIn(TVirtualDecode& d) {
    auto& h = static_cast<THandSetDecode&>(d);
    h.SetRecordCountCallback({&Count, this});
    h.SetRecordAtCallback({&At, this});
  }

 private:
  static int32_t Count(void* c, int32_t) {
    return static_cast<int32_t>(static_cast<THostStore*>(c)->Records.size());
  }
  static TTestDataRecord* At(void* c, int32_t, int32_t i) {
    return static_cast<THostStore*>(c)->Records[static_cast<std::size_t>(i)];
  }
};

// A field store as the host's library might hand out: it fails or alters
// the record on request, to see how the decoder copes.
class TFaultyFieldStore final : public THandsetFields {
 public:
  TTestDataRecord* AttachedRecord() override {
    ++Calls;
    if (FailOnCall == Calls) throw std::runtime_error("field store failed");
    if (Record != nullptr) Record->MessageWord |= ExtraMessageBits;
    return Record;
  }
  void AttachRecord(TTestDataRecord* record) override { Record = record; }

  int32_t Calls = 0;
  int32_t FailOnCall = 0;  // 1-based; 0 never
  uint32_t ExtraMessageBits = 0;

 private:
  TTestDataRecord* Record = nullptr;
};

// The concrete decoder with an optional field store of the test's and a
// probe on slot 23, to see that sequences reach StartTest through the table.
class TProbeDecoder final : public TOrvik7316MSDecode {
 public:
  TProbeDecoder(TDevicePort* port, TGPSMarkSource* marks, THandsetFields* store)
      : TOrvik7316MSDecode(port, marks, store) {}
  std::function<void()> OnStartTest;
  void StartTest() override {
    if (OnStartTest) OnStartTest();
    TOrvik7316MSDecode::StartTest();
  }
};

// A decoder on `port` and `marks` with the test's clock.
inline std::unique_ptr<TProbeDecoder> MakeDecoder(TRecordingPort* port, TMarks* marks,
                                                  TRecordingClock* clock,
                                                  THandsetFields* store = nullptr) {
  auto d = std::make_unique<TProbeDecoder>(port, marks ? &marks->Source : nullptr,
                                           store ? store : NewHandsetFieldsInstance());
  if (clock) d->SetClock(clock->Clock());
  return d;
}

inline void Feed(TVirtualDecode& d, std::string_view bytes) {
  d.ReceiveBytes(bytes.data(), static_cast<int32_t>(bytes.size()), 0);
}

// A field of a packed record, read by value (no reference to a misaligned field).
template <class T>
T Value(T field) {
  return field;
}

// The message words of the stored records, in order.
inline std::vector<uint32_t> StoredMessageWords(TDeviceDecode& d) {
  std::vector<uint32_t> out;
  for (int32_t i = 0; i < d.GetStoredRecordCount(); ++i) out.push_back(Value(d.GetStoredRecord(i)->MessageWord));
  return out;
}

// Releases stored copies as the host does (slots 34 and 37). Slot 38 hides
// the count after a test start, so up to `upTo` indices are tried; an index
// past the end or released before is left alone.
inline void ReleaseStored(TDeviceDecode& d, int32_t upTo = 256) {
  for (int32_t i = 0; i < upTo; ++i) d.FreeStoredRecord(i);
  d.ClearStoredRecords();
}

// A decoder on a recording port with the test's clock and mark source. On
// tear-down the stored copies are released and the decoder deleted, and no
// shared block may be left over.
class SessionFixture : public SharedMemoryTest {
 protected:
  void TearDown() override {
    if (D) {
      ReleaseStored(*D);
      D.reset();
    }
    Marks.SetReplay(false);
    Host.Release();
    SharedMemoryTest::TearDown();
  }
  TProbeDecoder& Make(THandsetFields* store = nullptr) {
    D = MakeDecoder(&Port, &Marks, &Clock, store);
    return *D;
  }
  // A decoder in a running test with the start-up traffic forgotten.
  TProbeDecoder& MakeTesting(THandsetFields* store = nullptr) {
    Make(store).ResetAndStartTest();
    Port.ClearCalls();
    Clock.Clear();
    return *D;
  }

  TRecordingPort Port;
  TRecordingClock Clock{&Port};
  TMarks Marks;
  THostStore Host;
  std::unique_ptr<TProbeDecoder> D;
};

}  // namespace session_test
