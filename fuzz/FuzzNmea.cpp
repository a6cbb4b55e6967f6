// The reference host's NMEA parser: the fixes and counters do not depend on
// how the stream is cut into reads, and every fix lies within the session's
// field ranges. Input: a byte choosing the chunk sizes, then the stream.
#include <cmath>
#include <vector>

#include "fuzz/FuzzHarness.h"
#include "refhost/core/FieldRanges.h"
#include "refhost/gps/NmeaParser.h"

namespace {

struct TRun {
  std::vector<TGpsFix> Fixes;
  TNmeaCounters Counters;
};

TRun Parse(std::string_view stream, uint8_t cut) {
  TRun run;
  TNmeaParser parser([&run](const TGpsFix& fix) { run.Fixes.push_back(fix); }, [](TDays utc) { return utc; },
                     [](const std::string&) {});
  std::size_t at = 0, step = 0;
  while (at < stream.size()) {
    const std::size_t n = cut == 0 ? stream.size() : 1 + (cut * 31 + step++ * 17) % (cut + 1u);
    parser.Feed(stream.substr(at, n));
    at += std::min(n, stream.size() - at);
  }
  parser.Flush();
  run.Counters = parser.Counters();
  return run;
}

bool Same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::TInput in(data, size);
  const uint8_t cut = in.Byte();
  const std::string_view stream = in.Rest();
  const TRun whole = Parse(stream, 0), cut_ = Parse(stream, cut);
  FUZZ_CHECK(whole.Fixes.size() == cut_.Fixes.size(), "the fixes depend on how the stream was cut");
  const auto& a = whole.Counters;
  const auto& b = cut_.Counters;
  FUZZ_CHECK(a.Sentences == b.Sentences && a.BadChecksum == b.BadChecksum && a.Skipped == b.Skipped &&
                 a.Fixes == b.Fixes && a.Refused == b.Refused,
             "the counters depend on how the stream was cut");
  FUZZ_CHECK(a.Fixes == static_cast<int64_t>(whole.Fixes.size()), "fixes counted and delivered differ");
  for (std::size_t i = 0; i < whole.Fixes.size(); ++i) {
    const TGpsFix& f = whole.Fixes[i];
    const TGpsFix& g = cut_.Fixes[i];
    FUZZ_CHECK(Same(f.Time, g.Time) && Same(f.Latitude, g.Latitude) && Same(f.Longitude, g.Longitude) &&
                   Same(f.AltitudeM, g.AltitudeM) && Same(f.SpeedMps, g.SpeedMps) && f.Quality == g.Quality &&
                   f.Satellites == g.Satellites,
               "fix " + std::to_string(i) + " depends on how the stream was cut");
    const char* fault = FieldRanges::FixFault(f);
    FUZZ_CHECK(fault == nullptr, std::string("a fix out of range: ") + (fault ? fault : ""));
  }
  return 0;
}
