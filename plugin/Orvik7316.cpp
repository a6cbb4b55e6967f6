// The library's main unit: the device name and the four exports.
#include "plugin/Orvik7316.h"

#include <string_view>

#include "platform/ByteString.h"
#include "plugin/Orvik7316MSDecode.h"

// Made when the library loads, released when it unloads.
const TByteString DeviceName{std::string_view{"Orvik7316"}};

namespace {

// Blanks and control bytes (0x00..0x20) at either end do not belong to a name.
std::string_view TrimControls(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.remove_suffix(1);
  return text;
}

}  // namespace

extern "C" {

ORVIK_PLUGIN_API void ORVIK_STDCALL GetDeviceName(PSharedStr* result) {
  *result = nullptr;
  try {
    *result = TByteString(TrimControls(DeviceName.view())).Detach();
  } catch (...) {
    // Out of shared memory: the caller gets no name.
  }
}

ORVIK_PLUGIN_API uint8_t ORVIK_STDCALL GetDeviceType(void) { return 1; }

ORVIK_PLUGIN_API uint8_t ORVIK_STDCALL GetDeviceFrequency(void) { return 3; }

ORVIK_PLUGIN_API TVirtualDecode* ORVIK_STDCALL GetDllDevice(TDevicePort* port,
                                                            TGPSMarkSource* markSource) {
  try {
    return TOrvik7316MSDecode::Create(port, markSource);
  } catch (...) {
    // A C++ exception must not unwind into the host.
    return nullptr;
  }
}

}  // extern "C"
