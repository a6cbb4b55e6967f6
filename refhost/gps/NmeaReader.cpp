#include "refhost/gps/NmeaReader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "refhost/port/TermiosSpeed.h"

namespace {

std::string Problem(const std::string& path, const std::string& what) {
  return "GPS input " + path + ": " + what;
}

}  // namespace

TNmeaReader::TNmeaReader(const std::string& path, TFixCallback onFix, TGpsEndCallback onEnd,
                         int baud, TUtcToHost toHost, TGpsWarning warn)
    : Path(path), Parser(std::move(onFix), std::move(toHost), std::move(warn), "nmea:" + path),
      OnEnd(std::move(onEnd)) {
  Fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (Fd < 0)
    throw std::runtime_error(Problem(path, std::strerror(errno)) +
                             "; check the path given to --gps-nmea and its permissions");
  struct stat st{};
  if (::fstat(Fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(Fd);
    throw std::runtime_error(Problem(path, "not a file or a device; give an NMEA file or a serial GPS"));
  }
  IsFile = S_ISREG(st.st_mode);
  if (S_ISCHR(st.st_mode) && ::isatty(Fd)) {
    termios tio{};
    const speed_t speed = TermiosSpeedOf(baud);
    if (baud != 0 && speed == B0) {
      ::close(Fd);
      throw std::runtime_error(Problem(path, "unsupported baud rate " + std::to_string(baud) +
                                                 "; use 4800, 9600, 19200, 38400, 57600 or 115200"));
    }
    if (::tcgetattr(Fd, &tio) == 0) {
      ::cfmakeraw(&tio);
      tio.c_cflag |= CLOCAL | CREAD;
      if (speed != B0) {
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
      }
      ::tcsetattr(Fd, TCSANOW, &tio);
    }
  }
  if (::pipe2(StopPipe, O_CLOEXEC) != 0) {
    ::close(Fd);
    throw std::runtime_error(Problem(path, std::string("no stop pipe: ") + std::strerror(errno)));
  }
}

TNmeaReader::~TNmeaReader() {
  Stop();
  ::close(Fd);
  ::close(StopPipe[0]);
  ::close(StopPipe[1]);
}

void TNmeaReader::Start() {
  if (!Worker.joinable()) Worker = std::thread([this] { Run(); });
}

void TNmeaReader::Stop() {
  if (!Worker.joinable()) return;
  const char wake = 1;
  while (::write(StopPipe[1], &wake, 1) < 0 && errno == EINTR) {
  }
  Worker.join();
}

void TNmeaReader::Run() {
  char buffer[4096];
  pollfd fds[2] = {{Fd, POLLIN, 0}, {StopPipe[0], POLLIN, 0}};
  for (;;) {
    if (!IsFile) {
      const int ready = ::poll(fds, 2, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || (fds[1].revents & POLLIN)) return;
    } else if (::poll(&fds[1], 1, 0) > 0) {
      return;  // stopped while reading a file
    }
    const ssize_t n = ::read(Fd, buffer, sizeof buffer);
    if (n > 0) {
      Parser.Feed(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    Parser.Feed("\n", 1);
    Parser.Flush();
    if (OnEnd)
      OnEnd(n == 0 ? (IsFile ? "end of " + Path : Path + " closed")
                   : Problem(Path, std::strerror(errno)) + "; check the GPS connection");
    return;
  }
}
