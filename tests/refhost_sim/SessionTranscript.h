// The transcript of a short seeded session with a dialled call and an
// answered incoming one: what the host wrote and what the handset sent, with
// each signalling message's name. The golden test compares it with
// data/session-seed7.txt; the target regenerate_refhost_sim_golden
// rewrites that file for review with git diff.
#pragma once

#include <string>

#include "refhost/gsm/GsmMessages.h"
#include "tests/refhost_sim/SimTestSupport.h"

namespace sim_test {

// Seed 7, calls offered about every 25 s; dial at 5 s, hang up at 20 s,
// answer at 36 s, run 45 s.
inline std::string GoldenTranscript() {
  TSimulatorOptions o;
  o.Seed = 7;
  o.IncomingCallEveryS = 25;
  THandsetSimulator sim(o);
  const TSession s =
      RunSession(sim, 45, {{5.0, "\\D0301234567\r\n"}, {20.0, "\\E"}, {36.0, "\\S"}}, 0.05);
  std::string out =
      "# Simulated handset, seed 7, calls offered about every 25 s; the host dials at 5 s,\n"
      "# hangs up at 20 s and answers at 36 s. '>' host to handset, '<' handset to host.\n";
  for (const std::string& entry : s.Transcript) {
    out += entry;
    const size_t l3 = entry.find("< L3,");
    if (l3 != std::string::npos && entry.size() >= l3 + 9) {
      const uint8_t head[2] = {
          static_cast<uint8_t>(std::stoi(entry.substr(l3 + 5, 2), nullptr, 16)),
          static_cast<uint8_t>(std::stoi(entry.substr(l3 + 7, 2), nullptr, 16))};
      out += "  # ";
      out += LookupGsmMessage(GsmMessageId(head, 2)).Name;
    }
    out += '\n';
  }
  return out;
}

}  // namespace sim_test
