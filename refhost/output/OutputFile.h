// The file behind a writer: opened for writing when the writer is built,
// flushed after every entry, every failure raised as EOutputWrite.
#pragma once

#include <fstream>
#include <ostream>
#include <stdexcept>
#include <string>

// A writer could not open or write its file (disk full, no permission, the
// folder gone). The message names the file and what to do.
class EOutputWrite : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TOutputFile {
 public:
  // Creates or truncates `path`; throws EOutputWrite when that fails.
  explicit TOutputFile(const std::string& path);
  // Writes into a stream the caller owns and keeps alive (tests, stdout).
  explicit TOutputFile(std::ostream& stream);

  std::ostream& Stream() { return *Out; }
  // Flushes; throws EOutputWrite when the stream has failed.
  void Commit();

 private:
  std::string Path;  // "" for a caller's stream
  std::ofstream File;
  std::ostream* Out;
};
