// The services of Windows.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>

#include "platform/BinaryInput.h"
#include "platform/DateTime.h"
#include "platform/MonotonicClock.h"
#include "platform/Sleep.h"
#include "platform/SystemHooks.h"

void SleepMs(uint32_t ms) { ::Sleep(ms); }

void SetStdinBinary() { _setmode(_fileno(stdin), _O_BINARY); }

double LocalDateTimeNow() {
  SYSTEMTIME st{};
  ::GetLocalTime(&st);
  const TLocalDateTime t{st.wYear, st.wMonth,  st.wDay,         st.wHour,
                         st.wMinute, st.wSecond, st.wMilliseconds};
  return EncodeDateTime(t);
}

// The tick count is read from memory the system shares with the process.
int64_t MonotonicMs() { return static_cast<int64_t>(::GetTickCount64()); }

namespace platform_detail {

void DefaultUserMessage(std::string_view text) {
  const std::string copy(text);  // MessageBoxA needs a terminated string
  ::MessageBoxA(nullptr, copy.c_str(), "Orvik7316", MB_OK | MB_ICONINFORMATION);
}

}  // namespace platform_detail
