// The file behind a writer: opened when the writer is built, each entry
// written whole, flushed after every entry (live sessions, so a person
// tailing the file sees it) or only when the buffer fills and at the end
// (replays, as fast as they go). Every failure is raised as EOutputWrite.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

// A writer could not open or write its file (disk full, no permission, the
// folder gone). The message names the file and what to do.
class EOutputWrite : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TFlushPolicy : uint8_t {
  EveryEntry,  // each entry reaches the file at once
  WhenFull,    // entries wait in the buffer until it fills or Flush()
};

class TOutputFile {
 public:
  // Creates or truncates `path`; throws EOutputWrite when that fails.
  explicit TOutputFile(const std::string& path, TFlushPolicy policy = TFlushPolicy::EveryEntry);
  // Writes into a stream the caller owns and keeps alive (tests, stdout).
  explicit TOutputFile(std::ostream& stream, TFlushPolicy policy = TFlushPolicy::EveryEntry);
  // Whatever is still buffered is written; an error at that point cannot be
  // reported (call Flush() first to see it).
  ~TOutputFile() = default;

  // Writes one entry and flushes it if the policy says so; throws
  // EOutputWrite when the stream has failed.
  void Write(std::string_view entry);
  // Flushes; throws EOutputWrite when the stream has failed.
  void Flush();

 private:
  void Check();

  std::string Path;  // "" for a caller's stream
  // Larger than the stream's own: a replay writes hundreds of thousands of
  // short entries a second.
  std::unique_ptr<char[]> Buffer;
  std::ofstream File;
  std::ostream* Out;
  TFlushPolicy Policy;
};
