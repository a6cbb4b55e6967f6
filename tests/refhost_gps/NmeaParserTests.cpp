#include <gtest/gtest.h>

#include <vector>

#include "refhost/gps/NmeaParser.h"
#include "tests/refhost_gps/GpsTestSupport.h"

namespace {

using gps_test::Sentence;

const std::string Rmc = Sentence("GPRMC,101502.00,A,5231.2000,N,01324.3000,E,10.0,90.0,081226,,,A");
const std::string Gga = Sentence("GPGGA,101502.00,5231.2000,N,01324.3000,E,2,08,0.9,34.5,M,39.0,M,,");
const char* const Fix = "2026-12-08T10:15:02.000+00:00 13.405000,52.520000 q2 s8 alt345 v514";
const char* const RmcOnlyFix = "2026-12-08T10:15:02.000+00:00 13.405000,52.520000 q1 s-1 alt- v514";

struct TCase {
  const char* Name;
  std::string Input;
  std::vector<std::string> Fixes;
  int64_t BadChecksum = 0;
};

// Each input is fed whole and again one byte at a time, then flushed.
const std::vector<TCase>& Cases() {
  static const std::vector<TCase> cases = {
      {"rmc then gga", Rmc + Gga, {Fix}},
      {"gga then rmc", Gga + Rmc, {Fix}},
      {"rmc only, no gga in the stream", Rmc, {RmcOnlyFix}},
      {"talkers gn gl ga gb",
       Sentence("GNRMC,000001,A,5231.2000,N,01324.3000,E,,,081226,,") +
           Sentence("GLRMC,000002,A,5231.2000,N,01324.3000,E,,,081226,,") +
           Sentence("GARMC,000003,A,5231.2000,N,01324.3000,E,,,081226,,") +
           Sentence("GBRMC,000004,A,5231.2000,N,01324.3000,E,,,081226,,"),
       {"2026-12-08T00:00:01.000+00:00 13.405000,52.520000 q1 s-1 alt- v-",
        "2026-12-08T00:00:02.000+00:00 13.405000,52.520000 q1 s-1 alt- v-",
        "2026-12-08T00:00:03.000+00:00 13.405000,52.520000 q1 s-1 alt- v-",
        "2026-12-08T00:00:04.000+00:00 13.405000,52.520000 q1 s-1 alt- v-"}},
      {"southern and western hemispheres",
       Sentence("GNRMC,235959.50,A,3352.1280,S,15112.5300,W,0.0,,311299,,,D") +
           Sentence("GNGGA,235959.50,3352.1280,S,15112.5300,W,1,12,0.8,-5.0,M,,,,"),
       {"1999-12-31T23:59:59.500+00:00 -151.208833,-33.868800 q1 s12 alt-50 v0"}},
      {"bad checksum", "$GPRMC,101502.00,A,5231.2001" + Rmc.substr(28), {}, 1},
      {"missing checksum", "$GPRMC,101502.00,A,5231.2000,N,01324.3000,E,10.0,90.0,081226,,,A\r\n", {}, 1},
      {"rmc status v", Sentence("GPRMC,101502.00,V,5231.2000,N,01324.3000,E,,,081226,,,N"), {}},
      {"rmc mode n", Sentence("GPRMC,101502.00,A,5231.2000,N,01324.3000,E,,,081226,,,N"), {}},
      {"gga quality 0 spoils the epoch", Rmc + Sentence("GPGGA,101502.00,5231.2000,N,01324.3000,E,0,00,,,M,,M,,"), {}},
      {"empty position", Sentence("GPRMC,101502.00,A,,,,,,,081226,,,A"), {}},
      {"empty date", Sentence("GPRMC,101502.00,A,5231.2000,N,01324.3000,E,,,,,,A"), {}},
      {"empty time", Sentence("GPRMC,,A,5231.2000,N,01324.3000,E,,,081226,,,A"), {}},
      {"minutes out of range", Sentence("GPRMC,101502.00,A,5260.0000,N,01324.3000,E,,,081226,,,A"), {}},
      {"sentence cut off by the next one",
       "$GPRMC,101502.00,A,52" + Rmc + "$GPGGA,1015" + Gga, {Fix}},
      {"truncated sentence", "$GPRMC,101502.00,A,5231.2000,N,01324.3000,E,10.0\r\n", {}, 1},
      {"garbage, lf only and other sentences",
       std::string("\xff\0noise", 7) + Sentence("GPGSV,3,1,11,01,02,03,04") + Rmc.substr(0, Rmc.size() - 2) + "\n" + Gga,
       {Fix}},
      {"an overlong line is dropped", std::string(200, 'x') + Rmc.substr(0, Rmc.size() - 2) + "\n", {}},
      {"midnight: a gga after midnight takes the new date",
       Sentence("GPRMC,235959,A,5231.2000,N,01324.3000,E,,,311226,,") +
           Sentence("GPGGA,235959,5231.2000,N,01324.3000,E,1,05,,,,,,,") +
           Sentence("GPGGA,000000,5231.2000,N,01324.3000,E,1,05,,,,,,,") +
           Sentence("GPGGA,000001,5231.2000,N,01324.3000,E,1,05,,,,,,,") +
           Sentence("GPRMC,000002,A,5231.2000,N,01324.3000,E,,,010127,,") +
           Sentence("GPGGA,000002,5231.2000,N,01324.3000,E,1,05,,,,,,,"),
       {"2026-12-31T23:59:59.000+00:00 13.405000,52.520000 q1 s5 alt- v-",
        "2027-01-01T00:00:00.000+00:00 13.405000,52.520000 q1 s5 alt- v-",
        "2027-01-01T00:00:01.000+00:00 13.405000,52.520000 q1 s5 alt- v-",
        "2027-01-01T00:00:02.000+00:00 13.405000,52.520000 q1 s5 alt- v-"}},
      {"gga without any date yet", Sentence("GPGGA,101502.00,5231.2000,N,01324.3000,E,1,05,,,,,,,"), {}},
      {"one fix per epoch however many sentences", Rmc + Gga + Rmc + Gga, {Fix}},
  };
  return cases;
}

TEST(RefhostNmea, SentencesToFixes) {
  for (const TCase& c : Cases()) {
    for (bool byteByByte : {false, true}) {
      SCOPED_TRACE(std::string(c.Name) + (byteByByte ? ", byte by byte" : ""));
      std::vector<std::string> fixes;
      TNmeaParser parser([&](const TGpsFix& f) { fixes.push_back(gps_test::Show(f)); },
                         gps_test::Identity);
      if (byteByByte)
        for (char ch : c.Input) parser.Feed(&ch, 1);
      else
        parser.Feed(c.Input);
      parser.Flush();
      EXPECT_EQ(fixes, c.Fixes);
      EXPECT_EQ(parser.Counters().BadChecksum, c.BadChecksum);
      EXPECT_EQ(parser.Counters().Fixes, static_cast<int64_t>(c.Fixes.size()));
    }
  }
}

TEST(RefhostNmea, FixTimeIsOnTheHostClockScale) {
  // The host clock is local time: one hour east of UTC here.
  std::vector<TGpsFix> fixes;
  TNmeaParser parser([&](const TGpsFix& f) { fixes.push_back(f); },
                     [](TDays utc) { return utc + 1.0 / 24; });
  parser.Feed(Rmc + Gga);
  ASSERT_EQ(fixes.size(), 1u);
  EXPECT_EQ(FormatIsoTime(fixes[0].Time, 60), "2026-12-08T11:15:02.000+01:00");
}

}  // namespace
