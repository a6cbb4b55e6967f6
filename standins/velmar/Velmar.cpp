// Stand-in for the host's GSM decoding library: decodes the handset lines of
// docs/handset-line-format.md into the record attached to a field store.
// No C++ exception leaves these functions.
#include "host/VelmarIntface.h"

#include <string_view>

#include "host/HandsetFields.h"
#include "standins/velmar/HandsetLine.h"
#include "standins/velmar/RecordFill.h"

namespace {

constexpr uint8_t GsmDeviceCode = 10;

std::string_view FrameText(PSharedStr frame) {
  const int32_t length = SharedStrLength(frame);
  if (length <= 0) return {};
  return {frame, static_cast<std::size_t>(length)};
}

// DecodeState: +0 lines decoded, +4 lines rejected; little-endian u32 that
// wrap. The caller's 8 bytes need not be aligned.
void Count(void* decodeState, bool decoded) {
  if (!decodeState) return;
  auto* bytes = static_cast<uint8_t*>(decodeState) + (decoded ? 0 : 4);
  uint32_t value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                   uint32_t{bytes[3]} << 24;
  ++value;
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool Decode(uint8_t deviceCode, PSharedStr frame, THandsetFields* store) {
  if (deviceCode != GsmDeviceCode || !store) return false;
  TTestDataRecord* record = store->AttachedRecord();
  if (!velmar::IsFillableRecord(record)) return false;
  const auto line = velmar::ParseReportLine(FrameText(frame));
  if (!line) return false;
  velmar::FillRecord(*record, *line);
  return true;
}

}  // namespace

extern "C" {

ORVIK_VELMAR_API bool ORVIK_STDCALL Gain_GSM_Connect_Data(uint8_t deviceCode, PSharedStr frame) {
  return deviceCode == GsmDeviceCode && velmar::IsConnectAnswer(FrameText(frame));
}

ORVIK_VELMAR_API bool ORVIK_STDCALL Gain_GSM_Test_Data(uint8_t deviceCode, PSharedStr frame,
                                                       THandsetFields* store, void* decodeState) {
  bool decoded = false;
  try {
    decoded = Decode(deviceCode, frame, store);
  } catch (...) {
    // Out of memory: the record is as it was (FillRecord builds before it swaps).
    decoded = false;
  }
  Count(decodeState, decoded);
  return decoded;
}

}  // extern "C"
