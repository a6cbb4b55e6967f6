#include "tests/reliability/DecodingTap.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "host/HandsetFields.h"
#include "host/VelmarIntface.h"

namespace {

using TConnectFn = bool (*)(uint8_t, PSharedStr);
using TTestFn = bool (*)(uint8_t, PSharedStr, THandsetFields*, void*);

template <class F>
F Next(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  // The linker drops the stand-in when nothing else refers to it: load it.
  if (!symbol) {
    if (void* library = dlopen("libVelmar.so", RTLD_NOW | RTLD_LOCAL)) symbol = dlsym(library, name);
  }
  if (!symbol) {
    std::fprintf(stderr, "decoding tap: the stand-in's %s is not loaded\n", name);
    std::abort();
  }
  F fn;
  std::memcpy(&fn, &symbol, sizeof fn);
  return fn;
}

uint32_t Counter(const void* state, std::size_t at) {
  if (!state) return 0;
  const auto* b = static_cast<const uint8_t*>(state) + at;
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

void Bump(void* state, std::size_t at) {
  if (!state) return;
  const uint32_t value = Counter(state, at) + 1;
  for (int i = 0; i < 4; ++i) static_cast<uint8_t*>(state)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

bool RaisesNow(const TDecodingTap& tap) {
  const int64_t n = tap.TestCalls;
  if (tap.RaiseFrom <= 0 || n < tap.RaiseFrom) return false;
  if (n == tap.RaiseFrom) return true;
  return tap.RaiseEvery > 0 && (n - tap.RaiseFrom) % tap.RaiseEvery == 0;
}

// The shaped record's parts move into the attached one; built before the
// old parts go, so a failure leaves the attached record as it was.
bool DecodeShaped(TDecodingTap& tap, PSharedStr frame, THandsetFields* store) {
  TTestDataRecord* attached = store ? store->AttachedRecord() : nullptr;
  if (!IsReleasableTestData(attached)) return false;
  const std::string_view text(frame ? frame : "", static_cast<std::size_t>(SharedStrLength(frame)));
  TTestDataRecord* shaped = tap.Shape(text);
  if (!shaped) return false;
  FreeKindData(attached);
  attached->HeaderWord = shaped->HeaderWord;
  attached->MessageWord = shaped->MessageWord;
  attached->HostSetting = shaped->HostSetting;
  attached->KindData = shaped->KindData;
  shaped->KindData = nullptr;
  FreeTestData(shaped);
  return true;
}

}  // namespace

TDecodingTap& DecodingTap() {
  static TDecodingTap tap;
  return tap;
}

void ResetDecodingTap() { DecodingTap() = TDecodingTap{}; }

uint32_t DecodedLines(const void* decodeState) { return Counter(decodeState, 0); }
uint32_t RejectedLines(const void* decodeState) { return Counter(decodeState, 4); }

extern "C" {

bool ORVIK_STDCALL Gain_GSM_Connect_Data(uint8_t deviceCode, PSharedStr frame) {
  static const TConnectFn next = Next<TConnectFn>("Gain_GSM_Connect_Data");
  return next(deviceCode, frame);
}

bool ORVIK_STDCALL Gain_GSM_Test_Data(uint8_t deviceCode, PSharedStr frame, THandsetFields* store,
                                      void* decodeState) {
  static const TTestFn next = Next<TTestFn>("Gain_GSM_Test_Data");
  TDecodingTap& tap = DecodingTap();
  ++tap.TestCalls;
  tap.DecodeState = decodeState;
  tap.Store = store;
  if (RaisesNow(tap)) {
    ++tap.Raised;
    throw std::runtime_error("decoding library failed");
  }
  bool decoded;
  if (tap.Shape) {
    try {
      decoded = DecodeShaped(tap, frame, store);
    } catch (const std::bad_alloc&) {
      decoded = false;  // as the stand-in: out of memory rejects the line
    }
    Bump(decodeState, decoded ? 0 : 4);
  } else {
    decoded = next(deviceCode, frame, store, decodeState);
  }
  if (decoded && tap.OnDecoded && store && store->AttachedRecord()) tap.OnDecoded(*store->AttachedRecord());
  return decoded;
}

}  // extern "C"
