// Reads a capture back record by record, streaming: memory does not grow
// with the file.
//
// The reader stops at the first record whose length or checksum fails, or
// whose values are impossible (FieldRanges.h), and keeps everything before
// it. How the reading ended tells a replay what to say: a file cut off inside
// its last record (a crash, a full disk) is a truncation; a damaged record
// with more data after it is corruption.
//
// Threads: one reader belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "refhost/capture/CaptureFormat.h"

// The file cannot be opened, is not a capture, or is of a version this
// program does not read. what() says which and what to do.
class ECaptureRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TCaptureEndKind {
  Complete,   // ended with its stop record
  NoStop,     // ended at a record boundary without a stop record
  Truncated,  // the file ends inside a record, or its last record is torn
  Corrupt,    // a damaged record with more data after it
};

struct TCaptureEnd {
  TCaptureEndKind Kind = TCaptureEndKind::Complete;
  uint64_t Offset = 0;       // file offset of the first record not read
  int64_t GoodRecords = 0;   // records read before the end
  std::string Why;           // what was found there; empty when Complete
};

class TCaptureReader {
 public:
  // Opens `path` and checks its header. Throws ECaptureRefused when the file
  // cannot be opened, is not a capture, or is a newer version.
  explicit TCaptureReader(const std::string& path);
  ~TCaptureReader();
  TCaptureReader(const TCaptureReader&) = delete;
  TCaptureReader& operator=(const TCaptureReader&) = delete;

  uint64_t Salt() const { return Salt_; }
  uint16_t Version() const { return Version_; }
  uint64_t FileSize() const { return FileSize_; }

  // Reads the next good record into `event` (reusing its storage); false at
  // the end, after which End() says how and where the reading ended.
  bool Next(TCaptureEvent& event);
  const TCaptureEnd& End() const { return End_; }

 private:
  bool Stop(TCaptureEndKind kind, std::string why);
  bool ReadExact(uint8_t* data, size_t size);

  std::FILE* File_ = nullptr;
  std::unique_ptr<char[]> Buffer_;
  uint64_t Salt_ = 0;
  uint16_t Version_ = 0;
  uint64_t FileSize_ = 0;
  uint64_t Offset_ = 0;
  bool Ended_ = false;
  TCaptureEnd End_;
  std::vector<uint8_t> Payload_;
};

// One line for a person about how the reading ended ("" when Complete).
std::string DescribeCaptureEnd(const TCaptureEnd& end, const std::string& path);
