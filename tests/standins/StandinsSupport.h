// Helpers for driving the stand-in libraries through their exported
// functions, and a reader of the record layout the decoding library writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/HandsetFields.h"
#include "host/SharedMM.h"
#include "host/VelmarIntface.h"
#include "testdata/DataAccessAPIUnit.h"

namespace standins_test {

constexpr uint8_t DeviceCode = 10;

// A frame as the plug-in hands it over: a shared string, released on scope exit.
class TFrame {
 public:
  explicit TFrame(std::string_view text)
      : Str(SharedStrNew(text.data(), static_cast<int32_t>(text.size()))) {}
  ~TFrame() { SharedStrRelease(Str); }
  TFrame(const TFrame&) = delete;
  TFrame& operator=(const TFrame&) = delete;
  PSharedStr get() const { return Str; }

 private:
  PSharedStr Str;
};

inline bool ConnectAnswer(std::string_view text) {
  TFrame frame(text);
  return Gain_GSM_Connect_Data(DeviceCode, frame.get());
}

// A field store with a fresh GSM record attached, torn down in the plug-in's
// order: detach, delete the store, free the record.
struct TDecodeBench {
  THandsetFields* Store = NewHandsetFieldsInstance();
  TTestDataRecord* Record = NewTestData(tdkGSM);
  uint8_t DecodeState[8] = {};

  TDecodeBench() { Store->AttachRecord(Record); }
  ~TDecodeBench() {
    Store->AttachRecord(nullptr);
    delete Store;
    FreeTestData(Record);
  }
  TDecodeBench(const TDecodeBench&) = delete;
  TDecodeBench& operator=(const TDecodeBench&) = delete;

  bool Decode(std::string_view text, uint8_t code = DeviceCode) {
    TFrame frame(text);
    return Gain_GSM_Test_Data(code, frame.get(), Store, DecodeState);
  }
  TGSMKindData& Sub() const { return *static_cast<TGSMKindData*>(Record->KindData); }
};

// Reads a field of a packed structure by value: gtest's macros bind
// references, which a misaligned field does not allow.
template <typename T>
T Get(T value) {
  return value;
}

// Little-endian readers for the optional blocks.
inline unsigned U8(const void* block, std::size_t at) { return static_cast<const uint8_t*>(block)[at]; }
inline unsigned U16(const void* block, std::size_t at) { return U8(block, at) | U8(block, at + 1) << 8; }
inline int S16(const void* block, std::size_t at) { return static_cast<int16_t>(U16(block, at)); }
inline uint32_t U32(const void* block, std::size_t at) { return U16(block, at) | uint32_t{U16(block, at + 2)} << 16; }

// Everything a GSM record holds, owned buffers included, for comparing a
// record before and after a call.
std::vector<uint8_t> Snapshot(const TTestDataRecord& record);

// One line of text describing the decoded record: message identifier, host
// setting, flags, buffer bytes and the values of the blocks that are present.
std::string Summarise(const TTestDataRecord& record);

// The golden-file summary of an annotated line file (see data/lines.txt).
std::string SummariseLineFile(const std::string& text);

}  // namespace standins_test
