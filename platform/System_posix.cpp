// The services of POSIX systems.
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/BinaryInput.h"
#include "platform/DateTime.h"
#include "platform/MonotonicClock.h"
#include "platform/Sleep.h"
#include "platform/SystemHooks.h"

// POSIX streams carry bytes unchanged already.
void SetStdinBinary() {}

void SleepMs(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal cuts the sleep short; carry on with what is left.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

double LocalDateTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const time_t seconds = now.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  const TLocalDateTime t{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                         local.tm_min,         local.tm_sec,     static_cast<int32_t>(now.tv_nsec / 1000000)};
  return EncodeDateTime(t);
}

int64_t MonotonicMs() {
#ifdef CLOCK_MONOTONIC_COARSE
  // The time of the last tick, read from memory the kernel shares with the
  // process: no system call and no hardware clock read, whatever the
  // machine's clock source.
  constexpr clockid_t Clock = CLOCK_MONOTONIC_COARSE;
#else
  constexpr clockid_t Clock = CLOCK_MONOTONIC;
#endif
  timespec now{};
  clock_gettime(Clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace platform_detail {

void DefaultUserMessage(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace platform_detail
