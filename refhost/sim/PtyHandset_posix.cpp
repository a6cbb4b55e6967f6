#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "refhost/sim/PtyHandset.h"

namespace {

constexpr size_t MaxPendingBytes = 4 << 20;

int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Why() { return std::strerror(errno); }

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;  // not a terminal: nothing to set
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

TPtyHandset::TPtyHandset(const TPtyHandsetOptions& options)
    : Opts(options), Simulator(options.Simulator), StartNs(MonotonicNs()) {
  std::sort(Opts.Drops.begin(), Opts.Drops.end(),
            [](const TLineDrop& a, const TLineDrop& b) { return a.AtS < b.AtS; });
  if (::pipe2(WakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
    throw EPtyHandset("cannot create the serving thread's wake-up pipe: " + Why());
  try {
    std::lock_guard<std::mutex> guard(Lock);
    Open();
  } catch (...) {
    CloseFd(WakeFds[0]);
    CloseFd(WakeFds[1]);
    throw;
  }
  Thread = std::thread([this] { Serve(); });
}

TPtyHandset::~TPtyHandset() {
  Stop();
  std::lock_guard<std::mutex> guard(Lock);
  Close();
  if (!Opts.LinkPath.empty()) ::unlink(Opts.LinkPath.c_str());
  CloseFd(WakeFds[0]);
  CloseFd(WakeFds[1]);
}

double TPtyHandset::Now() const { return static_cast<double>(MonotonicNs() - StartNs) * 1e-9; }

void TPtyHandset::Open() {
  if (!Opts.DevicePath.empty()) {
    LineFd = ::open(Opts.DevicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (LineFd < 0)
      throw EPtyHandset("cannot open " + Opts.DevicePath + ": " + Why() +
                        "; check the path and that no other program holds it");
    MakeRaw(LineFd);
    SlavePath = Opts.DevicePath;
    return;
  }
  LineFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (LineFd < 0) throw EPtyHandset("cannot create a pseudo-terminal: " + Why());
  char name[128] = {};
  if (::grantpt(LineFd) != 0 || ::unlockpt(LineFd) != 0 ||
      ::ptsname_r(LineFd, name, sizeof name) != 0) {
    const std::string why = Why();
    CloseFd(LineFd);
    throw EPtyHandset("cannot prepare a pseudo-terminal: " + why);
  }
  SlavePath = name;
  // Our own descriptor on the slave keeps the master from hanging up while
  // the host closes and reopens the line, and carries the raw settings.
  HoldFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (HoldFd < 0) {
    const std::string why = Why();
    CloseFd(LineFd);
    throw EPtyHandset("cannot open the pseudo-terminal " + SlavePath + ": " + why);
  }
  MakeRaw(HoldFd);
  UpdateLink();
}

void TPtyHandset::UpdateLink() {
  if (Opts.LinkPath.empty()) return;
  // Made beside and renamed into place: a host never opens a half-made link.
  const std::string temporary = Opts.LinkPath + ".new";
  ::unlink(temporary.c_str());
  if (::symlink(SlavePath.c_str(), temporary.c_str()) != 0 ||
      ::rename(temporary.c_str(), Opts.LinkPath.c_str()) != 0) {
    const std::string why = Why();
    Close();
    throw EPtyHandset("cannot make the link " + Opts.LinkPath + ": " + why +
                      "; check that its folder exists and is writable");
  }
}

void TPtyHandset::Close() {
  // A dropped line vanishes, as an unplugged adapter's device does: a link
  // left behind would lead a reconnecting host to whatever pseudo-terminal
  // reuses the number next.
  if (Opts.DevicePath.empty() && !Opts.LinkPath.empty() && LineFd >= 0) ::unlink(Opts.LinkPath.c_str());
  CloseFd(LineFd);
  CloseFd(HoldFd);
  Pending.clear();
}

std::string TPtyHandset::Path() const {
  std::lock_guard<std::mutex> guard(Lock);
  return SlavePath;
}

std::string TPtyHandset::StablePath() const {
  return Opts.LinkPath.empty() ? Path() : Opts.LinkPath;
}

bool TPtyHandset::LineUp() const {
  std::lock_guard<std::mutex> guard(Lock);
  return LineFd >= 0;
}

std::vector<TSimCommand> TPtyHandset::Commands() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Simulator.Commands();
}

TSimStats TPtyHandset::Stats() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Simulator.Stats();
}

std::vector<TSimTruthEvent> TPtyHandset::Truth() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Simulator.Truth();
}

int64_t TPtyHandset::BytesWritten() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Written;
}

int64_t TPtyHandset::BytesDiscarded() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Discarded;
}

void TPtyHandset::Request(TRequest request) {
  std::unique_lock<std::mutex> guard(Lock);
  if (Stopping || !Thread.joinable()) {  // no thread to do it: do it here
    if (request == TRequest::Drop) Close();
    if (request == TRequest::Restore && LineFd < 0) Open();
    return;
  }
  Done.wait(guard, [this] { return Requested == TRequest::None; });
  Requested = request;
  RequestError.clear();
  const char wake = 1;
  [[maybe_unused]] const ssize_t n = ::write(WakeFds[1], &wake, 1);
  Done.wait(guard, [this] { return Requested == TRequest::None || Stopping; });
  if (!RequestError.empty()) throw EPtyHandset(RequestError);
}

void TPtyHandset::DropLine() { Request(TRequest::Drop); }
void TPtyHandset::RestoreLine() { Request(TRequest::Restore); }

void TPtyHandset::Stop() {
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (Stopping) return;
    Stopping = true;
  }
  const char wake = 1;
  [[maybe_unused]] const ssize_t n = ::write(WakeFds[1], &wake, 1);
  if (Thread.joinable()) Thread.join();
  Done.notify_all();
}

void TPtyHandset::WriteOut() {
  while (!Pending.empty() && LineFd >= 0) {
    const ssize_t n = ::write(LineFd, Pending.data(), Pending.size());
    if (n > 0) {
      Written += n;
      Pending.erase(Pending.begin(), Pending.begin() + n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // full (EAGAIN): poll says when it drains; a device error shows on read
    }
  }
}

int TPtyHandset::TimeoutMs(double now) const {
  double next = Simulator.NextDue();
  if (LineFd >= 0 && NextDrop < Opts.Drops.size()) next = std::min(next, Opts.Drops[NextDrop].AtS);
  if (LineFd < 0 && RestoreAt >= 0) next = std::min(next, RestoreAt);
  if (!std::isfinite(next)) return -1;
  const double ms = std::ceil((next - now) * 1000.0);
  // A flood is due every few hundred microseconds: take it in batches.
  const int floor = Opts.Simulator.FloodBaud > 0 ? 5 : 0;
  return static_cast<int>(std::clamp(ms, static_cast<double>(floor), 3.6e6));
}

void TPtyHandset::Serve() {
  std::vector<uint8_t> buffer(4096);
  std::unique_lock<std::mutex> guard(Lock);
  while (!Stopping) {
    const double now = Now();
    // Scheduled drops and restores.
    if (LineFd >= 0 && NextDrop < Opts.Drops.size() && now >= Opts.Drops[NextDrop].AtS) {
      Close();
      RestoreAt = Opts.Drops[NextDrop].AtS + Opts.Drops[NextDrop].ForS;
      ++NextDrop;
    }
    if (LineFd < 0 && RestoreAt >= 0 && now >= RestoreAt) {
      RestoreAt = -1;
      try {
        Open();
      } catch (const EPtyHandset&) {
        RestoreAt = now + 1;  // try again shortly
      }
    }
    const std::vector<uint8_t> out = Simulator.Transmit(now);
    if (LineFd >= 0) {
      Pending.insert(Pending.end(), out.begin(), out.end());
      WriteOut();
      // Nobody reads the line: keep the newest bytes, as a full serial
      // buffer would lose the rest.
      if (Pending.size() > MaxPendingBytes) {
        const size_t excess = Pending.size() - MaxPendingBytes;
        Pending.erase(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(excess));
        Discarded += static_cast<int64_t>(excess);
      }
    } else {
      Discarded += static_cast<int64_t>(out.size());
    }

    pollfd fds[2] = {{WakeFds[0], POLLIN, 0}, {LineFd, POLLIN, 0}};
    if (!Pending.empty()) fds[1].events |= POLLOUT;
    const int timeout = TimeoutMs(now);
    guard.unlock();
    const int ready = ::poll(fds, LineFd >= 0 ? 2 : 1, timeout);
    guard.lock();
    if (ready < 0 && errno != EINTR) break;

    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(WakeFds[0], drain, sizeof drain) > 0) {
      }
      if (Requested != TRequest::None) {
        try {
          if (Requested == TRequest::Drop) {
            Close();
            RestoreAt = -1;
          } else if (LineFd < 0) {
            Open();
          }
        } catch (const EPtyHandset& e) {
          RequestError = e.what();
        }
        Requested = TRequest::None;
        Done.notify_all();
      }
    }
    if (LineFd >= 0 && fds[1].fd == LineFd && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) {
      const ssize_t n = ::read(LineFd, buffer.data(), buffer.size());
      if (n > 0) {
        Simulator.Receive(buffer.data(), static_cast<size_t>(n), Now());
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The device went away (a pseudo-terminal never gets here: we hold
        // its slave). Wait for a scheduled restore or a request.
        if (!Opts.DevicePath.empty()) Close();
      }
    }
  }
  Done.notify_all();
}
