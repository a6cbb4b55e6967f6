// A log file of lines, written byte for byte: each line is followed by CR LF
// and nothing is translated (binary output), so any byte values pass through.
//
// Errors are failures of the outside world and raise std::ios_base::failure;
// a failed Create leaves no file open. Lines are buffered and reach the disk
// at the latest when the file is closed.
//
// Threads: one thread at a time; the owner serialises.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

class TTextLogFile {
 public:
  TTextLogFile() = default;
  TTextLogFile(const TTextLogFile&) = delete;
  TTextLogFile& operator=(const TTextLogFile&) = delete;
  // Closes an open file; a failure at that point is dropped.
  ~TTextLogFile();

  // Closes any open file, then creates `name` for writing, replacing any
  // existing file. Throws std::ios_base::failure when the old file cannot be
  // closed or the new one cannot be created; no file is open afterwards then.
  void Create(const std::string& name);
  // Appends the bytes of `line` and CR LF. Throws std::ios_base::failure
  // when no file is open or the write fails (the file stays open).
  void WriteLine(std::string_view line);
  // Flushes and closes the file if one is open. Throws std::ios_base::failure
  // when the flush or close fails; the file is closed all the same.
  void Close();
  bool IsOpen() const noexcept { return FFile != nullptr; }

 private:
  std::FILE* FFile = nullptr;
};
