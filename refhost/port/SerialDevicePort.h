// TSerialDevicePort: the handset's serial line as the decoder and the host's
// reader thread see it. Linux only: real serial devices through libserialport,
// pseudo-terminals (the simulated handset) through termios.
//
// Threads: Read and Interrupt run on the reader thread (Interrupt on any
// thread); every TDevicePort operation runs on the session driver's thread.
// Open, Close and Reopen may race with a Read: a Read never uses a line that
// is being closed, it waits for the next one or for its time-out.
// Errors: every failure is an EPortError (or EPortLost when the line is gone)
// whose message says what happened and what to do.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "refhost/core/HostPort.h"
#include "refhost/port/PortErrors.h"

class TSerialLine;

// The system's baud-rate list, by the position the decoder passes to
// SetOptionByte ("9600" is position 6).
int BaudRateAt(uint8_t position);

class TSerialDevicePort final : public THostPort {
 public:
  // Does not open the line: the decoder's Open does, or OpenNow.
  explicit TSerialDevicePort(std::string path, int writeTimeoutMs = 2000);
  ~TSerialDevicePort() override;
  TSerialDevicePort(const TSerialDevicePort&) = delete;
  TSerialDevicePort& operator=(const TSerialDevicePort&) = delete;

  // Opens the line now, so that a wrong path is reported before the session
  // starts. Throws EPortError.
  void OpenNow();

  // THostPort. Returns 0 on time-out, after Interrupt, and while the line is
  // closed. Throws EPortLost when the device is gone or the other end closed;
  // the line is then closed until the next Open or Reopen.
  size_t Read(uint8_t* buffer, size_t size, int timeoutMs) override;

  // The host clock of the reader thread's chunks (HostClockNow).
  TDays LiveTime() override;

  // Wakes a Read in progress; it and every later Read return 0 at once.
  void Interrupt();

  // Opens the line again after it was lost, with the settings it had (baud
  // rate, DTR, RTS). Throws EPortError when the device is not back yet.
  void Reopen();

  // TDevicePort.
  bool IsOpen() override;
  void SetOptionByte(uint8_t value) override;
  void SetOptionA(int32_t) override {}
  void SetOptionB(int32_t) override {}
  void Write(const void* data, int32_t count) override;
  void Open(bool value) override;
  void Close() override;
  void PurgeA() override;
  void PurgeB() override;
  void EnableA(bool value) override;
  void EnableB(bool value) override;

  const std::string& Path() const { return DevicePath; }
  int BaudRate() const { return Baud; }
  int64_t BytesWritten() const { return Sent; }

 private:
  // Closes the line once no Read uses it. Caller holds Guard.
  void CloseLocked(std::unique_lock<std::mutex>& lock);
  void OpenLocked();
  TSerialLine& LineOrThrow();

  const std::string DevicePath;
  const int WriteTimeoutMs;
  int WakeFd = -1;  // eventfd that Interrupt and Close signal

  std::mutex Guard;
  std::condition_variable Changed;  // line opened, closed, or reader left
  std::unique_ptr<TSerialLine> Line;
  int Readers = 0;          // Reads inside poll/read on Line
  bool Closing = false;
  bool Interrupted = false;
  int Baud = 9600;
  bool Dtr = false;
  bool Rts = false;
  int64_t Sent = 0;
  // A write found the line gone; the next Read reports it (the decoder
  // closes the port after a failed write, which alone would go unnoticed).
  std::string WriteLoss;
};
