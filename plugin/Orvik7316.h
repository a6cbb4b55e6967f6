// The plug-in's four entry points, the only names the library exports.
//
// A host loads the library (Orvik7316.dll; libOrvik7316.so elsewhere), finds
// these functions by their plain names, identifies the device with the first
// three and obtains decoders from GetDllDevice. Everything else goes through
// the decoder interface, which this header brings in whole
// (plugin/HandsetDecode.h, plugin/DeviceInterface.h) together with the
// exchange types it uses; see "Writing a host" in README.md for the set of
// headers a host builds against.
//
// Releasing what the plug-in hands out:
//   - the name string of GetDeviceName: SharedStrRelease (host/SharedMM.h);
//   - a decoder: `delete` through its virtual destructor, which stops the
//     decoder's watcher thread, closes its log file and releases everything
//     the decoder owns. The port and the mark source stay the host's and must
//     outlive the decoder.
//
// Threads: the four functions may be called from any thread, also at the
// same time; two decoders share nothing but the objects the host gave both.
// One decoder, however, takes no lock: the host must not call into it from
// two threads at once (see plugin/DeviceInterface.h).
//
// No C++ exception leaves these functions.
#pragma once

#include <cstdint>

#include "host/DevicePort.h"
#include "host/GPSMarkData.h"
#include "host/HostApi.h"
#include "host/SharedMM.h"
#include "plugin/DeviceInterface.h"
#include "plugin/HandsetDecode.h"

#if defined(ORVIK_BUILDING_PLUGIN)
#define ORVIK_PLUGIN_API ORVIK_EXPORT
#else
#define ORVIK_PLUGIN_API
#endif

extern "C" {

// Stores a new reference to the device name "Orvik7316" (a shared string)
// in *result, overwriting the old value without releasing it; the caller
// releases the new one with SharedStrRelease.
// On failure (out of shared memory) *result is set to null.
ORVIK_PLUGIN_API void ORVIK_STDCALL GetDeviceName(PSharedStr* result);

// Returns the device type, always 1; nothing to release.
// Cannot fail.
ORVIK_PLUGIN_API uint8_t ORVIK_STDCALL GetDeviceType(void);

// Returns the device frequency code, always 3; nothing to release.
// Cannot fail.
ORVIK_PLUGIN_API uint8_t ORVIK_STDCALL GetDeviceFrequency(void);

// Returns a new, independent decoder on the host's port and mark source
// (both borrowed, kept by the decoder); the caller owns it and releases it
// with `delete`. Nothing is sent and the port is not touched.
// Returns null when no decoder can be built: the field-store library yields
// no field store, or memory is exhausted; nothing is left allocated then.
ORVIK_PLUGIN_API TVirtualDecode* ORVIK_STDCALL GetDllDevice(TDevicePort* port,
                                                            TGPSMarkSource* markSource);

}  // extern "C"

// Function types for a host that looks the entry points up by name.
using TGetDeviceName = void(ORVIK_STDCALL*)(PSharedStr* result);
using TGetDeviceType = uint8_t(ORVIK_STDCALL*)(void);
using TGetDeviceFrequency = uint8_t(ORVIK_STDCALL*)(void);
using TGetDllDevice = TVirtualDecode*(ORVIK_STDCALL*)(TDevicePort* port,
                                                      TGPSMarkSource* markSource);

// The decoder GetDllDevice returned, seen through the whole interface (slots
// 0..69): every decoder of this plug-in is a THandSetDecode. Null stays null;
// ownership does not change. Cannot fail.
inline THandSetDecode* HandSetDecodeOf(TVirtualDecode* decoder) {
  return static_cast<THandSetDecode*>(decoder);
}
