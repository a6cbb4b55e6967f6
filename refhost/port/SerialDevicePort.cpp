#include "refhost/port/SerialDevicePort.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "refhost/port/PortReader.h"
#include "refhost/port/SerialLine.h"

namespace {

// The baud-rate list the decoder's positions refer to.
constexpr std::array<int, 18> BaudRates{110,   300,   600,    1200,   2400,   4800,
                                        9600,  14400, 19200,  38400,  56000,  57600,
                                        115200, 128000, 230400, 256000, 460800, 921600};

}  // namespace

int BaudRateAt(uint8_t position) {
  if (position >= BaudRates.size())
    throw EPortError("the plug-in asked for baud rate number " + std::to_string(position) +
                     ", which the system's list does not have; use a matching plug-in");
  return BaudRates[position];
}

TSerialDevicePort::TSerialDevicePort(std::string path, int writeTimeoutMs)
    : DevicePath(std::move(path)), WriteTimeoutMs(writeTimeoutMs) {
  WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (WakeFd < 0) throw EPortError(std::string("cannot create an event: ") + std::strerror(errno));
}

TDays TSerialDevicePort::LiveTime() { return HostClockNow(); }

TSerialDevicePort::~TSerialDevicePort() {
  Interrupt();
  {
    std::unique_lock lock(Guard);
    CloseLocked(lock);
  }
  ::close(WakeFd);
}

void TSerialDevicePort::OpenNow() {
  std::lock_guard lock(Guard);
  OpenLocked();
}

void TSerialDevicePort::OpenLocked() {
  if (Line) return;
  auto line = OpenSerialLine(DevicePath);
  line->SetBaudRate(Baud);
  // A pseudo-terminal has no modem lines; the first open already said so.
  try {
    if (Dtr) line->SetDtr(true);
    if (Rts) line->SetRts(true);
  } catch (const EPortError&) {
  }
  Line = std::move(line);
  Changed.notify_all();
}

void TSerialDevicePort::CloseLocked(std::unique_lock<std::mutex>& lock) {
  if (!Line) return;
  Closing = true;
  if (Readers > 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(WakeFd, &one, sizeof one);
  }
  Changed.wait(lock, [this] { return Readers == 0; });
  Line.reset();
  Closing = false;
  Changed.notify_all();
}

size_t TSerialDevicePort::Read(uint8_t* buffer, size_t size, int timeoutMs) {
  std::unique_lock lock(Guard);
  if (Interrupted) return 0;
  if (!WriteLoss.empty()) {
    const EPortLost lost(WriteLoss);
    WriteLoss.clear();
    CloseLocked(lock);
    throw lost;
  }
  if (!Line || Closing) {
    // Closed by the decoder or lost: wait for the next open, not for bytes.
    Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [this] { return Interrupted || (Line && !Closing); });
    return 0;
  }
  TSerialLine* line = Line.get();
  ++Readers;
  lock.unlock();

  std::array<pollfd, 2> fds{pollfd{line->Handle(), POLLIN, 0}, pollfd{WakeFd, POLLIN, 0}};
  const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
  size_t count = 0;
  std::exception_ptr lost;
  if (ready > 0 && fds[1].revents == 0 && fds[0].revents != 0) {
    try {
      count = line->ReadAvailable(buffer, size);
      if (count == 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        throw EPortLost(DevicePath + ": the line hung up");
    } catch (const EPortLost&) {
      lost = std::current_exception();
    }
  }

  lock.lock();
  --Readers;
  if (fds[1].revents != 0 && !Interrupted) {
    uint64_t drained = 0;
    [[maybe_unused]] const ssize_t n = ::read(WakeFd, &drained, sizeof drained);
  }
  Changed.notify_all();
  if (lost) {
    CloseLocked(lock);
    std::rethrow_exception(lost);
  }
  return count;
}

void TSerialDevicePort::Interrupt() {
  std::lock_guard lock(Guard);
  Interrupted = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(WakeFd, &one, sizeof one);
  Changed.notify_all();
}

void TSerialDevicePort::Reopen() {
  std::lock_guard lock(Guard);
  WriteLoss.clear();
  OpenLocked();
}

TSerialLine& TSerialDevicePort::LineOrThrow() {
  if (!Line) throw EPortError(DevicePath + " is not open");
  return *Line;
}

bool TSerialDevicePort::IsOpen() {
  std::lock_guard lock(Guard);
  return Line != nullptr;
}

void TSerialDevicePort::SetOptionByte(uint8_t value) {
  const int baud = BaudRateAt(value);
  std::lock_guard lock(Guard);
  if (Line) Line->SetBaudRate(baud);
  Baud = baud;
}

void TSerialDevicePort::Write(const void* data, int32_t count) {
  std::unique_lock lock(Guard);
  TSerialLine& line = LineOrThrow();
  // Counted as a reader so that a lost line is not closed under the write.
  ++Readers;
  lock.unlock();
  std::exception_ptr failed;
  std::string lostWhy;
  try {
    line.WriteAll(static_cast<const uint8_t*>(data), static_cast<size_t>(count), WriteTimeoutMs);
  } catch (const EPortLost& e) {
    lostWhy = e.what();
    failed = std::current_exception();
  } catch (...) {
    failed = std::current_exception();
  }
  lock.lock();
  if (!lostWhy.empty()) WriteLoss = lostWhy;
  --Readers;
  Changed.notify_all();
  if (failed) std::rethrow_exception(failed);
  Sent += count;
}

void TSerialDevicePort::Open(bool) {
  std::lock_guard lock(Guard);
  OpenLocked();
}

void TSerialDevicePort::Close() {
  std::unique_lock lock(Guard);
  CloseLocked(lock);
}

void TSerialDevicePort::PurgeA() {
  std::lock_guard lock(Guard);
  LineOrThrow().Flush(true, false);
}

void TSerialDevicePort::PurgeB() {
  std::lock_guard lock(Guard);
  LineOrThrow().Flush(false, true);
}

void TSerialDevicePort::EnableA(bool value) {
  std::lock_guard lock(Guard);
  Dtr = value;
  LineOrThrow().SetDtr(value);
}

void TSerialDevicePort::EnableB(bool value) {
  std::lock_guard lock(Guard);
  Rts = value;
  LineOrThrow().SetRts(value);
}
