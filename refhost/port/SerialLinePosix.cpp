// The POSIX side of the serial lines: pseudo-terminals through termios, the
// exclusive lock, and what each errno means to a person at the keyboard.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "refhost/port/SerialDevicePort.h"
#include "refhost/port/SerialLine.h"
#include "refhost/port/TermiosSpeed.h"

namespace {

std::string ErrnoText(int code) { return std::strerror(code); }

class TPtyLine final : public TSerialLine {
 public:
  TPtyLine(int fd, std::string path) : Fd(fd), Path(std::move(path)) {}
  ~TPtyLine() override { ::close(Fd); }

  int Handle() const override { return Fd; }

  size_t ReadAvailable(uint8_t* buffer, size_t size) override {
    const ssize_t n = ::read(Fd, buffer, size);
    if (n > 0) return static_cast<size_t>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    // EIO (or end of file) on a pseudo-terminal: the other end closed it.
    throw EPortLost(Path + ": the other end closed the line (" +
                    (n == 0 ? std::string("end of file") : ErrnoText(errno)) + ")");
  }

  void WriteAll(const uint8_t* data, size_t count, int timeoutMs) override {
    while (count > 0) {
      const ssize_t n = ::write(Fd, data, count);
      if (n > 0) {
        data += n;
        count -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        throw EPortLost(Path + ": writing failed (" + ErrnoText(errno) + ")");
      pollfd p{Fd, POLLOUT, 0};
      if (::poll(&p, 1, timeoutMs) == 0)
        throw EPortError(Path + ": the handset took no bytes for " + std::to_string(timeoutMs) +
                         " ms; check the cable and the handset's flow control");
    }
  }

  void SetBaudRate(int baud) override {
    termios t{};
    const speed_t speed = TermiosSpeedOf(baud);
    if (speed == 0 || ::tcgetattr(Fd, &t) != 0 || ::cfsetspeed(&t, speed) != 0 ||
        ::tcsetattr(Fd, TCSANOW, &t) != 0)
      throw EPortError(Path + ": cannot set " + std::to_string(baud) + " baud");
  }

  // A pseudo-terminal has no modem lines: the ioctl fails and says so.
  void SetDtr(bool on) override { SetModemBit(TIOCM_DTR, on, "DTR"); }
  void SetRts(bool on) override { SetModemBit(TIOCM_RTS, on, "RTS"); }

  void Flush(bool input, bool output) override {
    const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (::tcflush(Fd, which) != 0) throw EPortError(Path + ": flush failed: " + ErrnoText(errno));
  }

 private:
  void SetModemBit(int bit, bool on, const char* name) {
    if (::ioctl(Fd, on ? TIOCMBIS : TIOCMBIC, &bit) != 0)
      throw EPortError(Path + ": cannot set " + name + " (" + ErrnoText(errno) + ")");
  }

  int Fd;
  std::string Path;
};

}  // namespace

speed_t TermiosSpeedOf(int baud) {
  switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
  }
}

void ThrowOpenError(const std::string& path, int code) {
  switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      throw EPortError(path + " does not exist: check the cable and the name (ls /dev/ttyUSB* /dev/ttyACM*)");
    case EACCES:
    case EPERM:
      throw EPortError("no permission to open " + path +
                       ": add yourself to the dialout group (sudo usermod -aG dialout $USER) and log in again");
    case EBUSY:
    case EWOULDBLOCK:
      throw EPortError(path + " is in use by another program: close it (fuser " + path + " shows which) and try again");
    default:
      throw EPortError("cannot open " + path + ": " + ErrnoText(code));
  }
}

void LockLine(int fd, const std::string& path) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) ThrowOpenError(path, errno);
}

bool IsPseudoTerminal(const std::string& path) {
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) return false;
  return std::strncmp(real, "/dev/pts/", 9) == 0;
}

std::unique_ptr<TSerialLine> OpenPtyLine(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) ThrowOpenError(path, errno);
  auto line = std::make_unique<TPtyLine>(fd, path);  // closes fd from here on
  LockLine(fd, path);
  termios t{};
  if (::tcgetattr(fd, &t) != 0) throw EPortError(path + " is not a terminal: name a serial device");
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) throw EPortError(path + ": cannot make the line raw");
  return line;
}

std::unique_ptr<TSerialLine> OpenSerialLine(const std::string& path) {
  return IsPseudoTerminal(path) ? OpenPtyLine(path) : OpenLibSerialLine(path);
}
