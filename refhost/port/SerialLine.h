// One open serial line, as the device port drives it. Private to refhost/port.
//
// Two kinds: a real serial device through libserialport, and a pseudo-terminal
// through termios (libserialport finds only devices the kernel lists as serial
// ports, which pseudo-terminals are not). Both hand out a file descriptor, so
// waiting for bytes is one poll() for either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class TSerialLine {
 public:
  virtual ~TSerialLine() = default;
  // The descriptor to poll for input; owned by the line.
  virtual int Handle() const = 0;
  // Reads what is there without waiting; 0 when nothing. Throws EPortLost
  // when the device is gone or the other end closed.
  virtual size_t ReadAvailable(uint8_t* buffer, size_t size) = 0;
  // Sends every byte or throws EPortError after timeoutMs.
  virtual void WriteAll(const uint8_t* data, size_t count, int timeoutMs) = 0;
  // Each throws EPortError when the device refuses.
  virtual void SetBaudRate(int baud) = 0;
  virtual void SetDtr(bool on) = 0;
  virtual void SetRts(bool on) = 0;
  virtual void Flush(bool input, bool output) = 0;
};

// Opens `path` raw, 8N1, no flow control, and takes an exclusive lock on it.
// The caller owns the result. Throws EPortError with what to do when the
// path does not exist, is in use, or may not be opened.
std::unique_ptr<TSerialLine> OpenSerialLine(const std::string& path);

// Pseudo-terminals and the rest of the POSIX detail (lock, poll, errno texts).
std::unique_ptr<TSerialLine> OpenPtyLine(const std::string& path);
std::unique_ptr<TSerialLine> OpenLibSerialLine(const std::string& path);
// Whether `path` (after following links) is a pseudo-terminal.
bool IsPseudoTerminal(const std::string& path);
// Throws the EPortError that says what to do about errno `code` from opening `path`.
[[noreturn]] void ThrowOpenError(const std::string& path, int code);
// Takes an exclusive advisory lock on `fd`; throws EPortError when another
// program holds the line.
void LockLine(int fd, const std::string& path);
