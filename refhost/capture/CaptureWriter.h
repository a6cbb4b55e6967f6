// Writes a capture as the session goes: the session driver reports every
// event it processes (TCaptureTap) and the writer appends one record each.
//
// Records are buffered and written out at least once a second (a flusher
// thread of the writer's own) and at the stop, so a crash loses at most the
// last second; what was written is always a readable capture up to its last
// complete record. A failure to write (a full disk), also at the close, does
// not end the session: the writer stops recording, tells `onFailure` at
// once, and Failure() says why.
//
// Threads: the tap operations run on the driver's thread; the flusher runs
// alongside under the writer's lock. Failure() may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "refhost/capture/CaptureFormat.h"
#include "refhost/core/CaptureTap.h"

// The capture file cannot be created. what() names it and says what to do.
class ECaptureWrite : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TCaptureWriter : public TCaptureTap {
 public:
  // Creates (or replaces) `path` and writes its header with `salt`. With
  // flushEvery zero nothing is flushed before the stop (deterministic tools
  // that write a whole capture at once). Throws ECaptureWrite when the file
  // cannot be created.
  // `onFailure` (may be empty) is called once, on the thread that found the
  // failure, with the message Failure() then returns.
  TCaptureWriter(const std::string& path, uint64_t salt,
                 std::chrono::milliseconds flushEvery = std::chrono::milliseconds(1000),
                 std::function<void(const std::string&)> onFailure = {});
  // Close(), when not called yet.
  ~TCaptureWriter() override;
  TCaptureWriter(const TCaptureWriter&) = delete;
  TCaptureWriter& operator=(const TCaptureWriter&) = delete;

  void OnSettings(const TSessionSettings& settings) override;
  void OnChunk(const TChunk& chunk) override;
  void OnFix(const TGpsFix& fix) override;
  void OnLineLost(TDays when, const std::string& why) override;
  void OnLineRegained(TDays when) override;
  // Appends the stop record at the time of the last event and flushes.
  void OnStop() override;

  // Flushes what is buffered and closes the file; writes no stop record (a
  // capture whose session did not reach OnStop reads as unfinished).
  // Returns Failure().
  std::string Close();
  // Empty while recording works; otherwise what went wrong, for the user.
  std::string Failure() const;
  // Bytes handed to the file so far (header included).
  uint64_t BytesWritten() const;

 private:
  void Append(TCaptureRecordType type, const uint8_t* payload, size_t size);
  void FlushLocked();
  void Flusher();
  void FailLocked(const char* when);

  const std::string Path;
  const uint64_t Salt;
  const std::chrono::milliseconds FlushEvery;
  std::FILE* File = nullptr;
  TDays LastTime = 0;
  bool Stopped = false;

  mutable std::mutex Lock;
  std::condition_variable Wake;
  std::vector<uint8_t> Pending;  // encoded records not yet handed to the file
  std::vector<uint8_t> Scratch;
  uint64_t Written = 0;
  std::string Failed;
  std::function<void(const std::string&)> OnFailure;
  bool Closing = false;
  std::thread FlushThread;  // last: starts once every field above is set
};

// A salt for a live capture: differs from run to run.
uint64_t NewCaptureSalt();
// The salt of a capture generated from a seed: the same for the same seed.
uint64_t CaptureSaltFromSeed(uint64_t seed);
