#include "refhost/capture/CaptureReader.h"

#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

constexpr size_t ReadBufferSize = 1 << 20;

std::string Hex(uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

TCaptureReader::TCaptureReader(const std::string& path) {
  File_ = std::fopen(path.c_str(), "rb");
  if (File_ == nullptr)
    throw ECaptureRefused("cannot open the capture " + path + ": " + std::strerror(errno) +
                          "; check the file name");
  Buffer_.reset(new char[ReadBufferSize]);
  std::setvbuf(File_, Buffer_.get(), _IOFBF, ReadBufferSize);
  // The size tells a cut-off tail from damage in the middle.
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  FileSize_ = error ? 0 : static_cast<uint64_t>(size);

  uint8_t h[TCaptureHeaderSize];
  const bool whole = ReadExact(h, sizeof h);
  const std::string notCapture = path + " is not an Orvik capture";
  if (!whole || std::memcmp(h, TCaptureMagic.data(), TCaptureMagic.size()) != 0) {
    std::fclose(File_);
    File_ = nullptr;
    throw ECaptureRefused(notCapture + " (no capture header); give a file written by "
                          "'orvik-host live --record'");
  }
  Version_ = GetU16(h + 8);
  if (Version_ > TCaptureVersion || Version_ == 0) {
    std::fclose(File_);
    File_ = nullptr;
    throw ECaptureRefused(path + " is a capture of version " + std::to_string(Version_) +
                          ", newer than this program reads (up to " +
                          std::to_string(TCaptureVersion) + "); replay it with a newer orvik-host");
  }
  if (GetU16(h + 10) != TCaptureHeaderSize || GetU32(h + 28) != CaptureCrc32(0, h, 28)) {
    std::fclose(File_);
    File_ = nullptr;
    throw ECaptureRefused(notCapture + " (its header is damaged); nothing in it can be trusted");
  }
  Salt_ = GetU64(h + 16);
  Offset_ = TCaptureHeaderSize;
}

TCaptureReader::~TCaptureReader() {
  if (File_ != nullptr) std::fclose(File_);
}

bool TCaptureReader::ReadExact(uint8_t* data, size_t size) {
  return std::fread(data, 1, size, File_) == size;
}

bool TCaptureReader::Stop(TCaptureEndKind kind, std::string why) {
  Ended_ = true;
  End_.Kind = kind;
  End_.Offset = Offset_;
  End_.Why = std::move(why);
  return false;
}

bool TCaptureReader::Next(TCaptureEvent& event) {
  if (Ended_) return false;
  const uint64_t left = FileSize_ > Offset_ ? FileSize_ - Offset_ : 0;
  if (left == 0) return Stop(TCaptureEndKind::NoStop, "the capture ends without its stop record");
  uint8_t h[TCaptureRecordHeaderSize];
  if (left < sizeof h || !ReadExact(h, sizeof h))
    return Stop(TCaptureEndKind::Truncated,
                "the file ends inside a record header (" + std::to_string(left) + " of " +
                    std::to_string(sizeof h) + " bytes)");
  const uint32_t length = GetU32(h);
  const uint64_t after = left - sizeof h;  // bytes after this record's header
  if (length > TCaptureMaxPayload)
    return Stop(after == 0 ? TCaptureEndKind::Truncated : TCaptureEndKind::Corrupt,
                "a record claims an impossible length of " + std::to_string(length) + " bytes");
  if (length > after)
    return Stop(TCaptureEndKind::Truncated, "the file ends inside a record (" +
                                                std::to_string(after) + " of its " +
                                                std::to_string(length) + " payload bytes present)");
  Payload_.resize(length);
  if (!ReadExact(Payload_.data(), length))
    return Stop(TCaptureEndKind::Truncated, "the file could not be read past this record");

  uint8_t salt[8];
  for (int i = 0; i < 8; ++i) salt[i] = static_cast<uint8_t>(Salt_ >> (8 * i));
  uint32_t crc = CaptureCrc32(0, salt, 8);
  crc = CaptureCrc32(crc, h, 8);
  crc = CaptureCrc32(crc, Payload_.data(), length);
  // A torn last write looks the same as a bad checksum at the very end.
  const TCaptureEndKind damage =
      after == length ? TCaptureEndKind::Truncated : TCaptureEndKind::Corrupt;
  if (crc != GetU32(h + 8))
    return Stop(damage, "a record's checksum does not match (stored " + Hex(GetU32(h + 8)) +
                            ", computed " + Hex(crc) + ")");
  std::string why;
  if (!DecodeCapturePayload(static_cast<TCaptureRecordType>(h[4]), Payload_.data(), length, event,
                            why))
    return Stop(TCaptureEndKind::Corrupt, why);
  // An impossible value is damage the checksum did not catch (or a writer's
  // fault): the record counts as damaged, in the middle as at the end.
  if (!CheckCaptureValues(event, why)) return Stop(damage, "a record holds an impossible value: " + why);

  Offset_ += sizeof h + length;
  ++End_.GoodRecords;
  if (event.Type == TCaptureRecordType::Stop) {
    const uint64_t trailing = FileSize_ - Offset_;
    Ended_ = true;
    End_.Kind = TCaptureEndKind::Complete;
    End_.Offset = Offset_;
    if (trailing > 0)
      End_.Why = std::to_string(trailing) + " bytes after the stop record were ignored";
  }
  return true;
}

std::string DescribeCaptureEnd(const TCaptureEnd& end, const std::string& path) {
  if (end.Kind == TCaptureEndKind::Complete && end.Why.empty()) return "";
  std::string where = path + " at byte " + std::to_string(end.Offset) + " (after " +
                      std::to_string(end.GoodRecords) + " good records)";
  switch (end.Kind) {
    case TCaptureEndKind::Complete:
      return "warning: " + path + ": " + end.Why;
    case TCaptureEndKind::NoStop:
      return "warning: replay stopped at the end of " + where + ": " + end.Why +
             " (the recording did not finish); everything before it was replayed";
    case TCaptureEndKind::Truncated:
      return "warning: replay stopped at the cut-off end of " + where + ": " + end.Why +
             "; everything before it was replayed";
    case TCaptureEndKind::Corrupt:
      return "error: replay stopped at damage in the middle of " + where + ": " + end.Why +
             "; everything before it was replayed and written, the rest is lost";
  }
  return "";
}
