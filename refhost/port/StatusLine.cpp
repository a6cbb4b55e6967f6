#include "refhost/port/StatusLine.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

std::string FormatStatus(const TStatusValues& v) {
  const int64_t elapsed = static_cast<int64_t>(v.ElapsedSeconds);
  char fix[64];
  if (!v.GpsProblem.empty() && v.LastFixAgeSeconds >= 0)
    std::snprintf(fix, sizeof fix, "%.20s, fix %.0f s ago", v.GpsProblem.c_str(), v.LastFixAgeSeconds);
  else if (!v.GpsProblem.empty())
    std::snprintf(fix, sizeof fix, "%.20s", v.GpsProblem.c_str());
  else if (v.LastFixAgeSeconds < 0)
    std::snprintf(fix, sizeof fix, "no fix");
  else
    std::snprintf(fix, sizeof fix, "fix %.1f s ago", v.LastFixAgeSeconds);
  const int64_t capacity = v.QueueCapacityBytes > 0 ? v.QueueCapacityBytes : 1;
  char text[256];
  std::snprintf(text, sizeof text,
                "%02lld:%02lld records %lld | %d frames/s | %s%s | %s | calls %lld set up %lld dropped %lld "
                "handovers %lld | queue %lld%% | "
                "bytes %lld decoded %lld rejected %lld gaps %lld",
                static_cast<long long>(elapsed / 60), static_cast<long long>(elapsed % 60),
                static_cast<long long>(v.Records), v.FramesPerSecond, v.LineUp ? "" : "LINE DOWN, ",
                v.CallState.c_str(), fix, static_cast<long long>(v.Kpis.CallAttempts),
                static_cast<long long>(v.Kpis.CallSetups), static_cast<long long>(v.Kpis.CallDrops),
                static_cast<long long>(v.Kpis.HandoverAttempts), static_cast<long long>(v.QueueFillBytes * 100 / capacity),
                static_cast<long long>(v.Counters.BytesReceived),
                static_cast<long long>(v.Counters.FramesDecoded),
                static_cast<long long>(v.Counters.FramesRejected), static_cast<long long>(v.Counters.Gaps));
  return text;
}

void TStatusLine::Update(double elapsedSeconds, const std::string& state, const std::string& text) {
  if (Smart) {
    if (state != LastState && !LastState.empty()) {
      char at[32];
      std::snprintf(at, sizeof at, "%.1f s: ", elapsedSeconds);
      Event(at + state);
    }
    Show(text);
  } else if (state != LastState || elapsedSeconds - LastPlain >= 10) {
    Event(text);
    LastPlain = elapsedSeconds;
  }
  LastState = state;
}

TStatusLine::TStatusLine(std::FILE* out, bool inPlace, int width) : Out(out), Smart(inPlace), Width(width) {}

TStatusLine TStatusLine::ForStream(std::FILE* out) {
  const int fd = ::fileno(out);
  const char* term = std::getenv("TERM");
  const bool smart = ::isatty(fd) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
  winsize size{};
  const int width = smart && ::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  return TStatusLine(out, smart, width);
}

void TStatusLine::Show(const std::string& text) {
  Last = text;
  if (!Smart) return;
  // One column short: some terminals wrap when the last column is written.
  const size_t room = Width > 1 ? static_cast<size_t>(Width - 1) : 1;
  std::fprintf(Out, "\r%s\x1b[K", text.substr(0, room).c_str());
  std::fflush(Out);
  Shown = true;
}

void TStatusLine::Event(const std::string& text) {
  if (Smart && Shown) std::fputs("\r\x1b[K", Out);
  std::fprintf(Out, "%s\n", text.c_str());
  if (Smart && Shown) Show(Last);
  std::fflush(Out);
}

void TStatusLine::Finish() {
  if (Smart && Shown) std::fputc('\n', Out);
  Shown = false;
  std::fflush(Out);
}
