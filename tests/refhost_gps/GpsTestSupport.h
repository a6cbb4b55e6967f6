// Sentences, fix summaries and a fix log shared by the GPS tests.
#pragma once

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "refhost/core/SessionTypes.h"
#include "refhost/output/IsoTime.h"

namespace gps_test {

// "$<body>*hh" CR LF with the right checksum.
inline std::string Sentence(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

// A fix as one line: host time (read as UTC), position, quality, satellites,
// altitude and speed ("-" when unknown).
inline std::string Show(const TGpsFix& f) {
  char text[160];
  std::snprintf(text, sizeof text, "%s %.6f,%.6f q%d s%d", FormatIsoTime(f.Time, 0).c_str(),
                f.Longitude, f.Latitude, f.Quality, f.Satellites);
  std::string s = text;
  s += std::isnan(f.AltitudeM) ? " alt-" : " alt" + std::to_string(std::lround(f.AltitudeM * 10));
  s += std::isnan(f.SpeedMps) ? " v-" : " v" + std::to_string(std::lround(f.SpeedMps * 100));
  return s;
}

inline TDays Identity(TDays utc) { return utc; }


// Fixes and the end of a source, as a reader thread delivers them.
class TFixLog {
 public:
  void Fix(const TGpsFix& f) {
    std::lock_guard<std::mutex> hold(Lock);
    Fixes.push_back(f);
    Changed.notify_all();
  }
  void End(const std::string& why) {
    std::lock_guard<std::mutex> hold(Lock);
    Ends.push_back(why);
    Changed.notify_all();
  }
  // Waits (up to a generous guard, not a timing check) until `pred` holds.
  template <typename P>
  bool WaitUntil(P pred, int guardSeconds = 20) {
    std::unique_lock<std::mutex> hold(Lock);
    return Changed.wait_for(hold, std::chrono::seconds(guardSeconds), [&] { return pred(*this); });
  }
  std::vector<TGpsFix> Fixes;  // read under WaitUntil or after the source stopped
  std::vector<std::string> Ends;

 private:
  std::mutex Lock;
  std::condition_variable Changed;
};

}  // namespace gps_test
