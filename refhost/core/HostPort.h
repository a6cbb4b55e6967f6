// The host's port object as the decoder sees it, plus the read side the
// host's own threads use.
//
// Threads: Read runs on the host's reader thread; every TDevicePort
// operation runs on the thread that calls into the decoder (the session
// driver). SetClock/ReleaseClock/CurrentTime may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "host/DevicePort.h"
#include "refhost/core/SessionTypes.h"

// The line is gone: device removed, other end closed, read failed for good.
// what() says why, in words for the user.
class EPortLost : public std::runtime_error {
 public:
  explicit EPortLost(const std::string& why) : std::runtime_error(why) {}
};

class THostPort : public TDevicePort {
 public:
  // Blocks up to timeoutMs for bytes; returns how many were read (0 on
  // time-out). Throws EPortLost(why) when the line is gone.
  virtual size_t Read(uint8_t* buffer, size_t size, int timeoutMs) = 0;

  // The clock the decoder sees. While a chunk is being fed the driver holds
  // it at that chunk's HostTime, so live and replayed sessions time-stamp
  // records identically. Released, it reads LiveTime.
  void SetClock(TDays now);
  void ReleaseClock();
  double CurrentTime() override;

  // The local date-time now (days); a test port may override it.
  virtual TDays LiveTime();

 private:
  std::atomic<double> HeldTime{0.0};
  std::atomic<bool> Held{false};
};

// The port of a replayed session: always open, nothing to read, and a write
// (which the decoder never makes in replay) is only counted.
class TReplayPort : public THostPort {
 public:
  size_t Read(uint8_t*, size_t, int) override { return 0; }
  bool IsOpen() override { return Opened; }
  void SetOptionByte(uint8_t) override {}
  void SetOptionA(int32_t) override {}
  void SetOptionB(int32_t) override {}
  void Write(const void*, int32_t count) override { WrittenBytes += count; }
  void Open(bool) override { Opened = true; }
  void Close() override { Opened = false; }
  void PurgeA() override {}
  void PurgeB() override {}
  void EnableA(bool) override {}
  void EnableB(bool) override {}

  // Bytes the decoder tried to send; 0 in a correct replay.
  int64_t Written() const { return WrittenBytes; }

 private:
  bool Opened = true;
  int64_t WrittenBytes = 0;
};
