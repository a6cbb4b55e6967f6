// The live session's status line, as a build tool's line printer does it: on
// a terminal one line refreshed in place (carriage return, the text cut to the
// terminal's width, clear to the end of the line); anywhere else plain lines,
// one per event, so logs and CI stay readable.
//
// Threads: one thread only (the front end's).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "refhost/core/SessionTypes.h"

struct TStatusValues {
  double ElapsedSeconds = 0;
  int64_t Records = 0;            // written to the outputs
  int32_t FramesPerSecond = 0;    // the decoder's throughput figure
  std::string CallState = "idle";
  double LastFixAgeSeconds = -1;  // negative before the first fix
  std::string GpsProblem;         // "no GPS", "GPS quiet", "GPS ended"; empty while fixes come
  int64_t QueueFillBytes = 0;
  int64_t QueueCapacityBytes = 1;
  bool LineUp = true;
  TSessionCounters Counters;
  TSessionKpis Kpis;  // the analysis' figures so far
};

// One line of status, e.g.
// "00:12 records 96 | 8 frames/s | idle | fix 0.4 s ago | calls 1 set up 1 dropped 0 handovers 2 | queue 0% |
// bytes 5210 decoded 96 rejected 0 gaps 0"
std::string FormatStatus(const TStatusValues& values);

class TStatusLine {
 public:
  // Writes to `out` (borrowed). `inPlace`: refresh one line (a terminal);
  // otherwise Show prints a plain line only when Event-worthy text changes.
  TStatusLine(std::FILE* out, bool inPlace, int width);
  // In place when `out` is a terminal that can do it (not TERM=dumb); width
  // from the terminal, 80 when unknown.
  static TStatusLine ForStream(std::FILE* out);

  // The current status; on a terminal it replaces the line.
  void Show(const std::string& text);
  // A line of its own above the status (on a terminal the status is redrawn
  // under it).
  void Event(const std::string& text);
  // The status at `elapsedSeconds`: on a terminal it replaces the line (a
  // change of `state`, the call and line state, also gets a line of its
  // own); in a log a line on every change of state and every ten seconds.
  void Update(double elapsedSeconds, const std::string& state, const std::string& text);
  // How often Update is worth calling: four times a second on a terminal.
  double RefreshSeconds() const { return Smart ? 0.25 : 1.0; }
  // Ends the status line with a newline, before anything else is printed.
  void Finish();

  bool InPlace() const { return Smart; }

 private:
  std::FILE* Out;
  bool Smart;
  int Width;
  std::string Last;
  bool Shown = false;
  std::string LastState;
  double LastPlain = 0;
};
