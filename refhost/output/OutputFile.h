// The file behind a writer, and the rules every writer of orvik-host follows
// (docs/session-output.md, "What is never overwritten"):
//
// - A file that is not a regular file (a device such as /dev/null, a pipe)
//   is written into as it is: never truncated, replaced or removed.
// - In place (the CSV and JSON Lines of a session, which people tail -f):
//   the file is created (or truncated, when the command's checks allowed it)
//   and each entry reaches it as the session goes.
// - Replace (maps, report, exports, pcap): everything goes to a temporary
//   file beside the target, which Commit() syncs and renames into place. A
//   run cut off leaves the earlier file or the new one, never half of
//   either; one that fails removes its temporary file.
//
// Each entry is written whole, flushed after every entry or only when the
// buffer fills and at the end. Every failure is raised as EOutputWrite.
#pragma once

#include <cstdint>
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

enum class TOutputMode : uint8_t {
  InPlace,  // written where it lies, as it goes
  Replace,  // a temporary file beside it, renamed into place by Commit()
};

// One file opened by those rules, below the buffering. Threads: one owner.
class TFileTarget {
 public:
  // Throws EOutputWrite when the file (or its temporary file) cannot be
  // created, or `path` is a folder.
  TFileTarget(const std::string& path, TOutputMode mode);
  // Not committed: closes the file; a temporary file is removed, the target
  // is left as it was.
  ~TFileTarget();
  TFileTarget(const TFileTarget&) = delete;
  TFileTarget& operator=(const TFileTarget&) = delete;

  int Descriptor() const { return Fd; }
  const std::string& Path() const { return Target; }
  // Writes all of `data`; throws EOutputWrite.
  void WriteAll(const char* data, size_t size);
  // Closes the file; a temporary file is synced first and renamed into
  // place. Throws EOutputWrite (and then the target is left as it was).
  void Commit();
  // The file's failure, for messages: "cannot write PATH: REASON; ...".
  [[noreturn]] void Fail(const char* verb, int error) const;

 private:
  void CloseQuietly();

  std::string Target;
  std::string Temp;  // "" when writing in place
  int Fd = -1;
  bool Device = false;  // not a regular file: no sync, no rename
};

class TOutputFile {
 public:
  // Opens `path` in the given mode; throws EOutputWrite when that fails.
  explicit TOutputFile(const std::string& path, TFlushPolicy policy = TFlushPolicy::EveryEntry,
                       TOutputMode mode = TOutputMode::InPlace);
  // Writes into a stream the caller owns and keeps alive (tests, stdout).
  explicit TOutputFile(std::ostream& stream, TFlushPolicy policy = TFlushPolicy::EveryEntry);
  // In place: what is still buffered is written and the file closed; a
  // failure then is noted with NoteOutputFailure. Replace without Commit():
  // the temporary file is removed.
  ~TOutputFile();

  // Writes one entry and flushes it if the policy says so; throws
  // EOutputWrite when the file cannot be written.
  void Write(std::string_view entry);
  // Flushes; throws EOutputWrite.
  void Flush();
  // Flushes and closes; Replace: syncs and renames into place. Throws.
  void Commit();

 private:
  void Drain();

  std::unique_ptr<TFileTarget> File;
  std::ostream* Stream = nullptr;
  std::string Buffer;
  TFlushPolicy Policy;
  TOutputMode Mode = TOutputMode::InPlace;
  bool Committed = false;
  bool Failed = false;  // a failure was thrown: said once, not again at the close
};

// Throws EOutputWrite when `path` could not be written by the Replace rules
// (no folder, no permission, a folder in its place), touching nothing there.
void CheckOutputPath(const std::string& path);

// A failure found where it cannot be thrown (a close in a destructor, a
// writer's own thread): said on stderr as "orvik-host COMMAND: message" at
// once and counted, so that the command ends with exit status 1.
void NoteOutputFailure(const std::string& message);
int OutputFailuresNoted();
// The command named in those messages (set once, by main).
void SetOutputCommandName(const std::string& name);
