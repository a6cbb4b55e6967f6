#include "refhost/capture/CaptureFormat.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "refhost/core/FieldRanges.h"

namespace {

// Slicing by eight: eight table look-ups per eight bytes instead of one per
// byte; replaying a big capture checks every byte once.
using TCrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr TCrcTables MakeCrcTables() {
  TCrcTables t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (size_t k = 1; k < 8; ++k)
    for (uint32_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  return t;
}
constexpr TCrcTables Crc = MakeCrcTables();

void PutString(std::vector<uint8_t>& out, const std::string& s) {
  PutU32(out, static_cast<uint32_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

// Reads a length-prefixed string at `pos`; false when it runs past the end.
bool GetString(const uint8_t* p, size_t size, size_t& pos, std::string& s) {
  if (size - pos < 4) return false;
  const uint32_t n = GetU32(p + pos);
  pos += 4;
  if (size - pos < n) return false;
  s.assign(reinterpret_cast<const char*>(p + pos), n);
  pos += n;
  return true;
}

}  // namespace

uint32_t CaptureCrc32(uint32_t crc, const uint8_t* data, size_t size) {
  crc = ~crc;
  for (; size >= 8; data += 8, size -= 8) {
    const uint32_t lo = crc ^ GetU32(data), hi = GetU32(data + 4);
    crc = Crc[7][lo & 0xFF] ^ Crc[6][(lo >> 8) & 0xFF] ^ Crc[5][(lo >> 16) & 0xFF] ^ Crc[4][lo >> 24] ^
          Crc[3][hi & 0xFF] ^ Crc[2][(hi >> 8) & 0xFF] ^ Crc[1][(hi >> 16) & 0xFF] ^ Crc[0][hi >> 24];
  }
  for (; size > 0; ++data, --size) crc = Crc[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutF64(std::vector<uint8_t>& out, double v) { PutU64(out, std::bit_cast<uint64_t>(v)); }
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t GetU64(const uint8_t* p) { return uint64_t{GetU32(p)} | uint64_t{GetU32(p + 4)} << 32; }
double GetF64(const uint8_t* p) { return std::bit_cast<double>(GetU64(p)); }

std::vector<uint8_t> EncodeCaptureHeader(uint64_t salt) {
  std::vector<uint8_t> h(TCaptureMagic.begin(), TCaptureMagic.end());
  PutU16(h, TCaptureVersion);
  PutU16(h, static_cast<uint16_t>(TCaptureHeaderSize));
  PutU32(h, 0);
  PutU64(h, salt);
  PutU32(h, 0);
  PutU32(h, CaptureCrc32(0, h.data(), h.size()));
  return h;
}

void AppendCaptureRecord(std::vector<uint8_t>& out, uint64_t salt, TCaptureRecordType type,
                         const uint8_t* payload, size_t size) {
  const size_t start = out.size();
  PutU32(out, static_cast<uint32_t>(size));
  out.push_back(static_cast<uint8_t>(type));
  out.insert(out.end(), 3, 0);
  uint8_t saltBytes[8];
  for (int i = 0; i < 8; ++i) saltBytes[i] = static_cast<uint8_t>(salt >> (8 * i));
  uint32_t crc = CaptureCrc32(0, saltBytes, 8);
  crc = CaptureCrc32(crc, out.data() + start, 8);
  crc = CaptureCrc32(crc, payload, size);
  PutU32(out, crc);
  out.insert(out.end(), payload, payload + size);
}

std::vector<uint8_t> EncodeSettings(const TSessionSettings& settings) {
  std::vector<uint8_t> p;
  PutU32(p, static_cast<uint32_t>(settings.UtcOffsetMinutes));
  PutU64(p, settings.Seed);
  PutString(p, settings.Source);
  PutString(p, settings.GpsSource);
  return p;
}

std::vector<uint8_t> EncodeFix(const TGpsFix& fix) {
  std::vector<uint8_t> p;
  PutF64(p, fix.Time);
  PutF64(p, fix.Longitude);
  PutF64(p, fix.Latitude);
  PutF64(p, fix.AltitudeM);
  PutF64(p, fix.SpeedMps);
  PutU32(p, static_cast<uint32_t>(fix.Quality));
  PutU32(p, static_cast<uint32_t>(fix.Satellites));
  return p;
}

bool DecodeCapturePayload(TCaptureRecordType type, const uint8_t* p, size_t size,
                          TCaptureEvent& event, std::string& why) {
  event.Type = type;
  switch (type) {
    case TCaptureRecordType::Settings: {
      size_t pos = 12;
      if (size < pos) break;
      event.Settings.UtcOffsetMinutes = static_cast<int32_t>(GetU32(p));
      event.Settings.Seed = GetU64(p + 4);
      if (!GetString(p, size, pos, event.Settings.Source) ||
          !GetString(p, size, pos, event.Settings.GpsSource) || pos != size)
        break;
      return true;
    }
    case TCaptureRecordType::Chunk:
      if (size < 8) break;
      event.Time = GetF64(p);
      event.Bytes.assign(p + 8, p + size);
      return true;
    case TCaptureRecordType::Fix:
      if (size != 48) break;
      event.Fix.Time = GetF64(p);
      event.Fix.Longitude = GetF64(p + 8);
      event.Fix.Latitude = GetF64(p + 16);
      event.Fix.AltitudeM = GetF64(p + 24);
      event.Fix.SpeedMps = GetF64(p + 32);
      event.Fix.Quality = static_cast<int32_t>(GetU32(p + 40));
      event.Fix.Satellites = static_cast<int32_t>(GetU32(p + 44));
      event.Time = event.Fix.Time;
      return true;
    case TCaptureRecordType::LineLost:
      if (size < 8) break;
      event.Time = GetF64(p);
      event.Why.assign(reinterpret_cast<const char*>(p + 8), size - 8);
      return true;
    case TCaptureRecordType::LineRegained:
    case TCaptureRecordType::Stop:
      if (size != 8) break;
      event.Time = GetF64(p);
      return true;
    default:
      why = "unknown record type " + std::to_string(static_cast<int>(type));
      return false;
  }
  why = "a record of type " + std::to_string(static_cast<int>(type)) + " has the wrong length (" +
        std::to_string(size) + " bytes)";
  return false;
}

namespace {

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

bool TextFits(const std::string& text, const char* what, std::string& why) {
  if (text.size() <= FieldRanges::MaxTextBytes) return true;
  why = std::string(what) + " is " + std::to_string(text.size()) + " bytes long, more than " +
        std::to_string(FieldRanges::MaxTextBytes);
  return false;
}

}  // namespace

bool CheckCaptureValues(const TCaptureEvent& event, std::string& why) {
  switch (event.Type) {
    case TCaptureRecordType::Settings:
      if (!FieldRanges::IsUtcOffset(event.Settings.UtcOffsetMinutes)) {
        why = "the UTC offset of " + std::to_string(event.Settings.UtcOffsetMinutes) +
              " minutes is outside -12:00..+14:00";
        return false;
      }
      return TextFits(event.Settings.Source, "the source", why) &&
             TextFits(event.Settings.GpsSource, "the GPS source", why);
    case TCaptureRecordType::Fix:
      if (const char* fault = FieldRanges::FixFault(event.Fix)) {
        why = std::string("a GPS fix is impossible (") + fault + "): time " + Number(event.Fix.Time) +
              ", longitude " + Number(event.Fix.Longitude) + ", latitude " + Number(event.Fix.Latitude);
        return false;
      }
      return true;
    case TCaptureRecordType::LineLost:
      if (!TextFits(event.Why, "the reason the line was lost", why)) return false;
      [[fallthrough]];
    default:
      if (!FieldRanges::IsTime(event.Time)) {
        why = "the time " + Number(event.Time) + " (days) is outside 1980..2099";
        return false;
      }
      return true;
  }
}
