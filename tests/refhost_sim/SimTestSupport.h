// A host that talks to the simulated handset as the plug-in does: connect,
// start-up sequence, and a report refresh after every line it stores.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "refhost/sim/HandsetSimulator.h"
#include "serial/Orvik7316Cmd.h"

namespace sim_test {

inline std::string Sequence(const auto& indices) {
  std::string s;
  for (int32_t i : indices) s += CommandStrings[i];
  return s;
}
inline const std::string StartupBytes = Sequence(StartupCommands);
inline const std::string IdleRefresh = Sequence(IdleReportCommands);
inline const std::string DedicatedRefresh = Sequence(DedicatedReportCommands);

inline void Send(THandsetSimulator& sim, std::string_view text, double now) {
  sim.Receive(reinterpret_cast<const uint8_t*>(text.data()), text.size(), now);
}

inline std::vector<std::string> SplitLines(const std::vector<uint8_t>& bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (uint8_t b : bytes) {
    if (b == '\n') continue;
    if (b == '\r') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(b);
    }
  }
  return lines;
}

struct TSession {
  std::vector<uint8_t> Bytes;      // everything the handset sent
  std::vector<std::string> Lines;  // the same, split at CR
  // Both directions with their times: "12.35 > text" the host wrote,
  // "12.35 < line" the handset sent (CR and LF written as \r and \n).
  std::vector<std::string> Transcript;
};

inline std::string Printable(std::string_view text) {
  std::string s;
  for (char c : text) s += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  return s;
}

inline std::string Stamp(double t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", t);
  return buffer;
}

// Runs `seconds` of a session in steps of `step`; `actions` maps a time to
// a text the host writes then (dial, hang up, answer).
inline TSession RunSession(THandsetSimulator& sim, double seconds,
                           const std::map<double, std::string>& actions = {}, double step = 0.05) {
  TSession s;
  auto write = [&](std::string_view text, double t) {
    Send(sim, text, t);
    s.Transcript.push_back(Stamp(t) + " > " + Printable(text));
  };
  write(ConnectRequest, 0.0);
  bool started = false;
  bool dedicated = false;  // the plug-in's mode follows the last report
  auto next = actions.begin();
  for (double t = step; t <= seconds + 1e-9; t += step) {
    const std::vector<uint8_t> out = sim.Transmit(t);
    s.Bytes.insert(s.Bytes.end(), out.begin(), out.end());
    for (const std::string& line : SplitLines(out)) {
      s.Lines.push_back(line);
      s.Transcript.push_back(Stamp(t) + " < " + line);
      if (line.starts_with("CONN") && !started) {
        write(StartupBytes, t);
        started = true;
      } else if (line.starts_with("DED") || line.starts_with("IDLE") || line.starts_with("L3")) {
        if (!line.starts_with("L3")) dedicated = line.starts_with("DED");
        write(dedicated ? DedicatedRefresh : IdleRefresh, t);
      }
    }
    for (; next != actions.end() && next->first <= t; ++next) write(next->second, t);
  }
  return s;
}

}  // namespace sim_test
