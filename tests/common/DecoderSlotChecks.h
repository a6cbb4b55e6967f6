// Checks of a decoder that need nothing but the decoder interface, so that
// one set runs against the decoder linked in (white-box tests) and against
// the decoder a loaded plug-in hands out (the test host). Also the host
// objects such a test owns: a mark source.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host/GPSMarkData.h"
#include "host/SharedMM.h"
#include "plugin/HandsetDecode.h"

namespace decoder_test {

// The host's GPS mark object, owned by the test. A replay file name makes the
// host replay a recorded file.
class TDecoderMarkSource {
 public:
  explicit TDecoderMarkSource(const char* replayFileName = nullptr)
      : Source{replayFileName ? SharedStrNew(replayFileName, static_cast<int32_t>(std::strlen(replayFileName)))
                              : nullptr,
               &Counter, &Latest} {}
  ~TDecoderMarkSource() { SharedStrRelease(Source.ReplayFileName); }
  TDecoderMarkSource(const TDecoderMarkSource&) = delete;
  TDecoderMarkSource& operator=(const TDecoderMarkSource&) = delete;

  TGPSMarkSource* get() { return &Source; }

  int32_t Counter = 0;
  TPositionBlock Latest{0.0, 0.0, 0.0};

 private:
  TGPSMarkSource Source;
};

// The log file name (slot 5) as text; the reference the slot hands out is
// given back at once.
inline std::string LogFileNameOf(THandSetDecode& d) {
  PSharedStr name = nullptr;
  d.GetLogFileName(&name);
  std::string text(name ? name : "", static_cast<std::size_t>(SharedStrLength(name)));
  SharedStrRelease(name);
  return text;
}

// Everything a decoder shows through its side-effect-free reading slots.
struct TDecoderView {
  bool Connected, LogEnabled, HasNewRecords, PositionsChanged, Dedicated;
  bool QueryA, QueryB, QueryC, QueryD;
  uint8_t HostFlag, SessionMode, CallState, DecoderCode;
  THostBlock HostBlock;
  TGPSMarkSource* MarkSource;
  TDevicePort* Port;
  TPositionBlock LastPosition;
  std::string LogFileName;
  int32_t HostValueA, HostValueB, MinRecordIndex, DeviceNumber, StoredCount;
  TRecordCountCallback CountCallback;
  TRecordAtCallback AtCallback;
  TAuxCallback AuxCallback;
  TTestDataRecord* FirstStored;

  static TDecoderView Of(THandSetDecode& d) {
    return {d.IsConnected(),        d.GetLogEnabled(),    d.GetHasNewRecords(),
            d.GetPositionsChanged(), d.IsDedicatedMode(), d.ReservedQueryA(),
            d.ReservedQueryB(),     d.ReservedQueryC(),   d.ReservedQueryD(),
            d.GetHostFlag(),        d.GetSessionMode(),   d.GetCallState(),
            d.GetDecoderCode(),     d.GetHostBlock(),     d.GetMarkSource(),
            d.GetPort(),            d.GetLastPosition(),  LogFileNameOf(d),
            d.GetHostValueA(),      d.GetHostValueB(),    d.GetMinRecordIndex(),
            d.GetDeviceNumber(),    d.GetStoredRecordCount(), d.GetRecordCountCallback(),
            d.GetRecordAtCallback(), d.GetAuxCallback(),  d.GetStoredRecord(0)};
  }

  bool operator==(const TDecoderView& o) const {
    return Connected == o.Connected && LogEnabled == o.LogEnabled &&
           HasNewRecords == o.HasNewRecords && PositionsChanged == o.PositionsChanged &&
           Dedicated == o.Dedicated && QueryA == o.QueryA && QueryB == o.QueryB &&
           QueryC == o.QueryC && QueryD == o.QueryD && HostFlag == o.HostFlag &&
           SessionMode == o.SessionMode && CallState == o.CallState &&
           DecoderCode == o.DecoderCode &&
           std::memcmp(HostBlock.Bytes, o.HostBlock.Bytes, sizeof HostBlock.Bytes) == 0 &&
           MarkSource == o.MarkSource && Port == o.Port &&
           std::memcmp(&LastPosition, &o.LastPosition, sizeof LastPosition) == 0 &&
           LogFileName == o.LogFileName && HostValueA == o.HostValueA &&
           HostValueB == o.HostValueB && MinRecordIndex == o.MinRecordIndex &&
           DeviceNumber == o.DeviceNumber && StoredCount == o.StoredCount &&
           CountCallback.Code == o.CountCallback.Code &&
           CountCallback.Context == o.CountCallback.Context &&
           AtCallback.Code == o.AtCallback.Code && AtCallback.Context == o.AtCallback.Context &&
           AuxCallback.Code == o.AuxCallback.Code && AuxCallback.Context == o.AuxCallback.Context &&
           FirstStored == o.FirstStored;
  }
};

// A fresh decoder: closed, nothing stored, nothing set, the decoder code 10,
// connected exactly when the host replays.
inline void ExpectFreshDecoder(THandSetDecode& d, bool replaying) {
  const TDecoderView v = TDecoderView::Of(d);
  EXPECT_EQ(v.Connected, replaying);
  EXPECT_EQ(v.SessionMode, 2);
  EXPECT_EQ(v.StoredCount, 0);
  EXPECT_EQ(v.FirstStored, nullptr);
  EXPECT_EQ(v.CallState, 0);
  EXPECT_EQ(v.DecoderCode, 10);
  EXPECT_EQ(v.LastPosition.X, 0.0);
  EXPECT_EQ(v.LastPosition.Y, 0.0);
  EXPECT_EQ(v.LastPosition.Time, 0.0);
  EXPECT_FALSE(v.LogEnabled);
  EXPECT_FALSE(v.HasNewRecords);
  EXPECT_FALSE(v.PositionsChanged);
  EXPECT_FALSE(v.Dedicated);
  EXPECT_EQ(v.LogFileName, "");
  EXPECT_EQ(v.HostFlag, 0);
  EXPECT_EQ(v.HostValueA, 0);
  EXPECT_EQ(v.HostValueB, 0);
  EXPECT_EQ(v.MinRecordIndex, 0);
  EXPECT_EQ(v.DeviceNumber, 0);
  EXPECT_EQ(v.CountCallback.Code, nullptr);
  EXPECT_EQ(v.AtCallback.Code, nullptr);
  EXPECT_EQ(v.AuxCallback.Code, nullptr);
  for (uint8_t b : v.HostBlock.Bytes) EXPECT_EQ(b, 0);
}

// Host callbacks whose only purpose is an address to keep.
inline int32_t CountCallbackA(void*, int32_t) { return 0; }
inline int32_t CountCallbackB(void*, int32_t) { return 1; }
inline TTestDataRecord* AtCallbackA(void*, int32_t, int32_t) { return nullptr; }
inline TTestDataRecord* AtCallbackB(void*, int32_t, int32_t) { return nullptr; }
inline void AuxCallbackA(void*, int32_t) {}
inline void AuxCallbackB(void*, int32_t) {}

// Values for every slot that only keeps a value, distinct per seed (1 or 2),
// and what the reading slots must then show.
struct TKeptValues {
  uint8_t HostFlag;
  THostBlock HostBlock;
  TGPSMarkSource* MarkSource;
  TPositionBlock LastPosition;
  uint8_t SessionMode;
  int32_t HostValueA, HostValueB, MinRecordIndex, DeviceNumber;
  TDevicePort* Port;
  bool Dedicated;
  uint8_t CallState;
  TRecordCountCallback CountCallback;
  TRecordAtCallback AtCallback;
  TAuxCallback AuxCallback;

  static TKeptValues ForSeed(int seed, TGPSMarkSource* marks, TDevicePort* port, void* context) {
    const bool one = seed == 1;
    TKeptValues v{};
    v.HostFlag = one ? 0xA5 : 0x5A;
    for (int i = 0; i < 8; ++i) v.HostBlock.Bytes[i] = static_cast<uint8_t>(seed * 16 + i);
    v.MarkSource = marks;
    v.LastPosition = one ? TPositionBlock{12.5, -3.25, 45000.75} : TPositionBlock{-1.0, 2.0, 3.0};
    v.SessionMode = one ? 7 : 255;  // kept unchecked
    v.HostValueA = one ? -123456 : 2147483647;
    v.HostValueB = one ? 0x7316 : -2147483647 - 1;
    v.MinRecordIndex = one ? 41 : -5;
    v.DeviceNumber = one ? 3 : 9;
    v.Port = port;
    v.Dedicated = one;
    v.CallState = one ? 2 : 3;
    v.CountCallback = {one ? &CountCallbackA : &CountCallbackB, context};
    v.AtCallback = {one ? &AtCallbackA : &AtCallbackB, context};
    v.AuxCallback = {one ? &AuxCallbackA : &AuxCallbackB, context};
    return v;
  }

  void ApplyTo(THandSetDecode& d) const {
    d.SetHostFlag(HostFlag);
    d.SetHostBlock(HostBlock);
    d.SetMarkSource(MarkSource);
    d.SetLastPosition(LastPosition);
    d.SetSessionMode(SessionMode);
    d.SetHostValueA(HostValueA);
    d.SetPort(Port);
    d.SetMinRecordIndex(MinRecordIndex);
    d.SetDedicatedMode(Dedicated);
    d.SetDeviceNumber(DeviceNumber);
    d.SetRecordCountCallback(CountCallback);
    d.SetRecordAtCallback(AtCallback);
    d.SetAuxCallback(AuxCallback);
    d.SetCallState(CallState);
    d.SetHostValueB(HostValueB);
  }

  void ExpectShownBy(THandSetDecode& d) const {
    const TDecoderView v = TDecoderView::Of(d);
    EXPECT_EQ(v.HostFlag, HostFlag);
    EXPECT_EQ(std::memcmp(v.HostBlock.Bytes, HostBlock.Bytes, 8), 0);
    EXPECT_EQ(v.MarkSource, MarkSource);
    EXPECT_EQ(std::memcmp(&v.LastPosition, &LastPosition, sizeof LastPosition), 0);
    EXPECT_EQ(v.SessionMode, SessionMode);
    EXPECT_EQ(v.HostValueA, HostValueA);
    EXPECT_EQ(v.HostValueB, HostValueB);
    EXPECT_EQ(v.Port, Port);
    EXPECT_EQ(v.MinRecordIndex, MinRecordIndex);
    EXPECT_EQ(v.Dedicated, Dedicated);
    EXPECT_EQ(v.DeviceNumber, DeviceNumber);
    EXPECT_EQ(v.CallState, CallState);
    EXPECT_EQ(v.CountCallback.Code, CountCallback.Code);
    EXPECT_EQ(v.CountCallback.Context, CountCallback.Context);
    EXPECT_EQ(v.AtCallback.Code, AtCallback.Code);
    EXPECT_EQ(v.AtCallback.Context, AtCallback.Context);
    EXPECT_EQ(v.AuxCallback.Code, AuxCallback.Code);
    EXPECT_EQ(v.AuxCallback.Context, AuxCallback.Context);
  }
};

// The slots that do nothing leave every reading unchanged, whatever the
// arguments; the reserved queries answer false; the four slots this decoder
// does not provide raise EAbstractError naming the operation.
inline void ExpectReservedSlotsInert(THandSetDecode& d) {
  const TDecoderView before = TDecoderView::Of(d);
  const std::vector<std::pair<const char*, std::function<void(int32_t)>>> inert = {
      {"ReservedPairA", [&](int32_t v) { d.ReservedPairA(v, -v); }},
      {"ReservedPairB", [&](int32_t v) { d.ReservedPairB(-v, v); }},
      {"ReservedValueA", [&](int32_t v) { d.ReservedValueA(v); }},
      {"ReservedValueB", [&](int32_t v) { d.ReservedValueB(v); }},
      {"ReservedValueC", [&](int32_t v) { d.ReservedValueC(v); }},
  };
  for (const auto& [name, call] : inert) {
    for (int32_t arg : {0, 1, 3, -1, 2147483647}) {
      call(arg);
      EXPECT_TRUE(TDecoderView::Of(d) == before) << name << "(" << arg << ") changed a value";
    }
  }
  EXPECT_FALSE(d.ReservedQueryA());
  EXPECT_FALSE(d.ReservedQueryB());
  EXPECT_FALSE(d.ReservedQueryC());
  EXPECT_FALSE(d.ReservedQueryD());

  const std::vector<std::pair<const char*, std::function<void()>>> missing = {
      {"ReservedAbstractA", [&] { d.ReservedAbstractA(); }},
      {"ReservedAbstractB", [&] { d.ReservedAbstractB(); }},
      {"ReservedAbstractC", [&] { d.ReservedAbstractC(); }},
      {"ReservedAbstractD", [&] { d.ReservedAbstractD(); }},
  };
  for (const auto& [name, call] : missing) {
    try {
      call();
      ADD_FAILURE() << name << " did not throw";
    } catch (const EAbstractError& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    } catch (...) {
      ADD_FAILURE() << name << " threw something other than EAbstractError";
    }
  }
  EXPECT_TRUE(TDecoderView::Of(d) == before);
}

// The host calls the decoder by table position: slot n is at position
// n + DecoderSlotBase (plugin/DeviceInterface.h).
// Reads every argument-free scalar slot by its position and compares it with
// the named call, after values have been set so that the slots differ.
#if defined(_WIN32) && defined(__i386__)
#define DECODER_THISCALL __attribute__((thiscall))
#else
#define DECODER_THISCALL
#endif
template <typename TResult>
TResult CallSlot(TVirtualDecode* d, int slot) {
  using TSlot = TResult(DECODER_THISCALL*)(TVirtualDecode*);
  void* const* table = *reinterpret_cast<void* const* const*>(d);
  return reinterpret_cast<TSlot>(table[DecoderSlotBase + slot])(d);
}

inline void ExpectSlotPositions(THandSetDecode& d) {
  EXPECT_EQ(CallSlot<bool>(&d, 0), d.IsConnected());
  EXPECT_EQ(CallSlot<uint8_t>(&d, 1), d.GetHostFlag());
  EXPECT_EQ(CallSlot<TGPSMarkSource*>(&d, 3), d.GetMarkSource());
  EXPECT_EQ(CallSlot<uint8_t>(&d, 6), d.GetSessionMode());
  EXPECT_EQ(CallSlot<int32_t>(&d, 7), d.GetHostValueA());
  EXPECT_EQ(CallSlot<TDevicePort*>(&d, 9), d.GetPort());
  EXPECT_EQ(CallSlot<int32_t>(&d, 30), d.GetMinRecordIndex());
  EXPECT_EQ(CallSlot<int32_t>(&d, 38), d.GetStoredRecordCount());
  EXPECT_EQ(CallSlot<int32_t>(&d, 47), d.GetHostValueB());
  EXPECT_EQ(CallSlot<bool>(&d, 48), d.IsDedicatedMode());
  EXPECT_EQ(CallSlot<int32_t>(&d, 49), d.GetDeviceNumber());
  EXPECT_EQ(CallSlot<uint8_t>(&d, 53), d.GetCallState());
  EXPECT_EQ(CallSlot<uint8_t>(&d, 61), d.GetDecoderCode());
}

}  // namespace decoder_test
