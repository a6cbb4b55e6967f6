// A decoder wired to a host record store and a mark source that the test
// controls, as a host would wire them through the decoder interface.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "plugin/Orvik7316MSDecode.h"
#include "testdata/DataAccessAPIUnit.h"

// Exact comparison and printing for the host's position types.
inline bool operator==(const TPositionPair& a, const TPositionPair& b) {
  return a.X == b.X && a.Y == b.Y;
}
inline bool operator==(const TPositionBlock& a, const TPositionBlock& b) {
  return a.X == b.X && a.Y == b.Y && a.Time == b.Time;
}
inline void PrintTo(const TPositionPair& p, std::ostream* os) { *os << "(" << p.X << ", " << p.Y << ")"; }
inline void PrintTo(const TPositionBlock& b, std::ostream* os) {
  *os << "(" << b.X << ", " << b.Y << ", " << b.Time << ")";
}

namespace stamping {

constexpr int32_t DeviceNo = 7;
constexpr double BaseDay = 45000.5;  // a date-time in days

inline double At(double seconds) { return BaseDay + seconds / 86400.0; }

// The host's store of this device's records. A null entry is an index for
// which the host has no record.
struct THostStore {
  std::vector<TTestDataRecord*> Records;
  std::string Trace;      // 'c' per count call, 'a' per record call
  int32_t BadCalls = 0;   // calls with a foreign context or device number
  int32_t GrowAtIndex = -1;  // the record call for this index appends a record

  THostStore() = default;
  THostStore(const THostStore&) = delete;
  THostStore& operator=(const THostStore&) = delete;
  ~THostStore() {
    for (TTestDataRecord* r : Records) FreeTestData(r);
  }

  TTestDataRecord* Add(double seconds) {
    TTestDataRecord* r = NewTestData(tdkGSM);
    r->TimeStamp2 = At(seconds);
    Records.push_back(r);
    return r;
  }
  void AddMissing() { Records.push_back(nullptr); }
  int32_t Size() const { return static_cast<int32_t>(Records.size()); }

  static int32_t Count(void* context, int32_t device) {
    auto* self = static_cast<THostStore*>(context);
    self->Trace += 'c';
    if (device != DeviceNo) ++self->BadCalls;
    return self->Size();
  }
  static TTestDataRecord* RecordAt(void* context, int32_t device, int32_t index) {
    auto* self = static_cast<THostStore*>(context);
    self->Trace += 'a';
    if (device != DeviceNo || index < 0 || index >= self->Size()) {
      ++self->BadCalls;
      return nullptr;
    }
    TTestDataRecord* r = self->Records[static_cast<size_t>(index)];
    if (index == self->GrowAtIndex) {
      self->GrowAtIndex = -1;
      self->Add(1e6);
    }
    return r;
  }
};

// The host's GPS mark object.
struct THostMarks {
  int32_t Counter = 0;
  TPositionBlock Latest{0.0, 0.0, 0.0};
  TGPSMarkSource Source{nullptr, &Counter, &Latest};

  void Produce(const TPositionBlock& mark) {
    Latest = mark;
    std::atomic_ref<int32_t>(Counter).fetch_add(1);
  }
};

// Opens the decoder's factory seam: the rig hands the decoder a field store
// it keeps a view of, to read the working record attached to it, which no
// slot exposes.
struct TDecoderFactory : TOrvik7316MSDecode {
  using TOrvik7316MSDecode::CreateWith;
};

struct TRig {
  THostMarks Marks;
  THostStore Store;
  THandsetFields* Fields = NewHandsetFieldsInstance();  // owned by the decoder
  std::unique_ptr<TOrvik7316MSDecode> Decoder;

  explicit TRig(bool installCallbacks = true) {
    Decoder.reset(TDecoderFactory::CreateWith(nullptr, &Marks.Source, Fields));
    if (!Decoder) throw std::runtime_error("no decoder");
    Decoder->SetDeviceNumber(DeviceNo);
    if (installCallbacks) {
      Decoder->SetRecordCountCallback({&THostStore::Count, &Store});
      Decoder->SetRecordAtCallback({&THostStore::RecordAt, &Store});
    }
  }
  ~TRig() { Decoder.reset(); }  // before the store and the marks

  // The host produces a mark and hands its block to slot 44.
  void Fix(const TPositionBlock& mark) {
    Marks.Produce(mark);
    Decoder->NewPosition(mark);
  }
  // The position of the decoder's working record.
  TPositionPair Current() const {
    const TTestDataRecord* working = Fields->AttachedRecord();
    return {working->PositionX, working->PositionY};
  }
};

inline TPositionPair PositionOf(const TTestDataRecord* r) { return {r->PositionX, r->PositionY}; }

constexpr TPositionPair Unset{NoValue, NoValue};

}  // namespace stamping
