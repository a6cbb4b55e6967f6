// The host's GSM decoding library (Velmar), as the plug-in imports it.
//
// Both functions take the device code (the plug-in always passes 10) and one
// frame: a shared byte string (host/SharedMM.h) that holds one received line
// without its terminator; the library only reads it during the call.
// Threads: called on the host thread that runs the decoder's receive path.
// Errors: a frame that cannot be decoded gives false; the functions may also
// throw, and the decoder contains that.
#pragma once

#include <cstdint>

#include "host/HostApi.h"
#include "host/SharedMM.h"

class THandsetFields;

#if defined(ORVIK_BUILDING_VELMAR)
#define ORVIK_VELMAR_API ORVIK_EXPORT
#else
#define ORVIK_VELMAR_API ORVIK_IMPORT
#endif

extern "C" {

// True when `frame` is the handset's answer to the connect request.
ORVIK_VELMAR_API bool ORVIK_STDCALL Gain_GSM_Connect_Data(uint8_t deviceCode, PSharedStr frame);

// Decodes `frame` into the record attached to `store`; true on success.
// `decodeState` points at 8 bytes the library keeps for itself between calls
// (zero before the first call); the caller never reads or writes them.
ORVIK_VELMAR_API bool ORVIK_STDCALL Gain_GSM_Test_Data(uint8_t deviceCode, PSharedStr frame,
                                                       THandsetFields* store, void* decodeState);

}  // extern "C"
