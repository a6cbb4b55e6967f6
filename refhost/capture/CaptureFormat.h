// The capture file: a recorded session, replayable through the plug-in.
//
// Layout (every field little-endian, fixed width, no padding; doubles are
// IEEE 754 binary64 bit patterns):
//
//   file header, 32 bytes
//     0  char[8]  magic "ORVCAP\r\n" (a CR LF catches text-mode copies)
//     8  u16      version (TCaptureVersion)
//    10  u16      header size (32)
//    12  u32      flags, 0
//    16  u64      salt: each record's checksum covers it, so a record left
//                 over from another capture never passes as one of this one
//    24  u32      reserved, 0
//    28  u32      CRC-32 of bytes 0..27
//   then records, appended in the order the session processed them:
//     0  u32      payload length (at most TCaptureMaxPayload)
//     4  u8       type (TCaptureRecordType)
//     5  u8[3]    reserved, 0
//     8  u32      CRC-32 over the salt (8 bytes), bytes 0..7 of this record
//                 header and the payload
//    12  payload
//
// A reader stops at the first record whose length or checksum fails and
// keeps everything before it: recovery is reading, never guessing.
// docs/capture-format.md describes every payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "refhost/core/SessionTypes.h"

constexpr std::array<uint8_t, 8> TCaptureMagic{'O', 'R', 'V', 'C', 'A', 'P', '\r', '\n'};
constexpr uint16_t TCaptureVersion = 1;
constexpr size_t TCaptureHeaderSize = 32;
constexpr size_t TCaptureRecordHeaderSize = 12;
constexpr uint32_t TCaptureMaxPayload = 16u << 20;

enum class TCaptureRecordType : uint8_t {
  Settings = 1,      // the session's settings; first record
  Chunk = 2,         // handset bytes as one read delivered them
  Fix = 3,           // a GPS fix
  LineLost = 4,      // the line went away, and why
  LineRegained = 5,  // the line is back
  Stop = 6,          // the session ended normally; last record
};

// One record as read back. Only the members of its type are meaningful;
// the reader reuses one event, so Bytes keeps its capacity between chunks.
struct TCaptureEvent {
  TCaptureRecordType Type = TCaptureRecordType::Stop;
  TDays Time = 0;               // host clock: Chunk, LineLost, LineRegained, Stop
  std::vector<uint8_t> Bytes;   // Chunk
  TGpsFix Fix;                  // Fix (its own Time)
  std::string Why;              // LineLost
  TSessionSettings Settings;    // Settings
};

// CRC-32 (IEEE 802.3, reflected, as zlib) continued from `crc`; start with 0.
uint32_t CaptureCrc32(uint32_t crc, const uint8_t* data, size_t size);

// Fixed-width little-endian fields, appended to / read from byte buffers.
void PutU16(std::vector<uint8_t>& out, uint16_t v);
void PutU32(std::vector<uint8_t>& out, uint32_t v);
void PutU64(std::vector<uint8_t>& out, uint64_t v);
void PutF64(std::vector<uint8_t>& out, double v);
uint16_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);
uint64_t GetU64(const uint8_t* p);
double GetF64(const uint8_t* p);

// The 32 header bytes of a capture with this salt.
std::vector<uint8_t> EncodeCaptureHeader(uint64_t salt);

// Appends one whole record (header and payload) of `type` to `out`.
void AppendCaptureRecord(std::vector<uint8_t>& out, uint64_t salt, TCaptureRecordType type,
                         const uint8_t* payload, size_t size);

// Payloads of each record type.
std::vector<uint8_t> EncodeSettings(const TSessionSettings& settings);
std::vector<uint8_t> EncodeFix(const TGpsFix& fix);
// Fills `event` from a payload whose checksum passed; false when the payload
// does not have the shape its type requires (or the type is unknown), with
// the reason in `why`.
bool DecodeCapturePayload(TCaptureRecordType type, const uint8_t* payload, size_t size,
                          TCaptureEvent& event, std::string& why);
// Checks the values of a decoded record against FieldRanges.h (times, the
// UTC offset, the fix, the length of texts); false, with the value and why in
// `why`, when one is impossible: the record is damage, whatever its checksum.
bool CheckCaptureValues(const TCaptureEvent& event, std::string& why);
