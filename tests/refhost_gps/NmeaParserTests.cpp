#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "refhost/gps/NmeaParser.h"
#include "tests/refhost_gps/GpsTestSupport.h"

namespace {

using gps_test::Sentence;

const std::string Rmc = Sentence("GPRMC,101502.00,A,5231.2000,N,01324.3000,E,10.0,90.0,081226,,,A");
const std::string Gga = Sentence("GPGGA,101502.00,5231.2000,N,01324.3000,E,2,08,0.9,34.5,M,39.0,M,,");
const char* const Fix = "2026-12-08T10:15:02.000+00:00 13.405000,52.520000 q2 s8 alt345 v514";
const char* const RmcOnlyFix = "2026-12-08T10:15:02.000+00:00 13.405000,52.520000 q1 s-1 alt- v514";

// A receiver's binary protocol on the same port: a UBX frame's sync bytes
// and payload, no line ends among them.
std::string Ubx(size_t size) { return "\xb5\x62\x01\x07" + std::string(size - 4, '\x9c'); }

struct TCase {
  const char* Name;
  std::string Input;
  std::vector<std::string> Fixes;
  int64_t BadChecksum = 0;
  int64_t Refused = 0;
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
      {"an overlong sentence is dropped", "$GPRMC," + std::string(200, '9') + Rmc, {RmcOnlyFix}},
      {"binary before the $ costs nothing, the limit counts from it",
       Ubx(150) + Rmc.substr(0, Rmc.size() - 2) + Ubx(40) + Gga, {Fix}},
      {"sentences without CR LF", Rmc.substr(0, Rmc.size() - 2) + Gga.substr(0, Gga.size() - 2), {Fix}},
      {"gll between rmcs",
       Sentence("GNRMC,101502.00,A,5231.20000,N,01324.30000,E,10.000,90.00,081226,,,A") +
           Sentence("GNGLL,5231.21000,N,01324.31000,E,101503.00,A,D") +
           Sentence("GNRMC,101504.00,A,5231.22000,N,01324.32000,E,10.000,90.00,081226,,,A"),
       {RmcOnlyFix, "2026-12-08T10:15:03.000+00:00 13.405167,52.520167 q2 s-1 alt- v-",
        "2026-12-08T10:15:04.000+00:00 13.405333,52.520333 q1 s-1 alt- v514"}},
      {"gll status v, gll mode n",
       Rmc + Sentence("GNGLL,5231.21000,N,01324.31000,E,101503.00,V,N") +
           Sentence("GNGLL,5231.21000,N,01324.31000,E,101504.00,A,N"),
       {RmcOnlyFix}},
      {"gns every second, gga once a minute, dated by zda",
       Sentence("GNZDA,101459.00,08,12,2026,00,00") + Sentence("GNGNS,101459.00,5231.20000,N,01324.30000,E,AAN,14,0.8,34.5,39.0,,,V") +
           Sentence("GNGNS,101500.00,5231.20000,N,01324.30000,E,DAN,15,0.8,34.6,39.0,,,V") +
           Sentence("GNGGA,101500.00,5231.20000,N,01324.30000,E,1,12,0.80,34.7,M,39.0,M,,") +
           Sentence("GNGNS,101501.00,5231.20000,N,01324.30000,E,AAA,16,0.8,34.8,39.0,,,V"),
       {"2026-12-08T10:14:59.000+00:00 13.405000,52.520000 q1 s14 alt345 v-",
        "2026-12-08T10:15:00.000+00:00 13.405000,52.520000 q1 s12 alt347 v-",
        "2026-12-08T10:15:01.000+00:00 13.405000,52.520000 q1 s16 alt348 v-"}},
      {"gns mode n for every constellation", Rmc + Sentence("GNGNS,101502.00,5231.20000,N,01324.30000,E,NNN,00,,,,,,V"), {}},
      {"gga and zda, no rmc: zda dates the fix",
       Sentence("GPGGA,101502.00,5231.2000,N,01324.3000,E,2,08,0.9,34.5,M,39.0,M,,") +
           Sentence("GPZDA,101502.00,08,12,2026,00,00"),
       {"2026-12-08T10:15:02.000+00:00 13.405000,52.520000 q2 s8 alt345 v-"}},
      {"zda without a date yet leaves gga undated",
       Sentence("GPZDA,101502.00,,,,,") + Sentence("GPGGA,101502.00,5231.2000,N,01324.3000,E,1,08,0.9,34.5,M,39.0,M,,"), {}},
      {"rmc, gga, gll and zda of one second disagree: gga's position, rmc's date",
       Sentence("GNGLL,5231.30000,N,01324.40000,E,101502.00,A,A") + Sentence("GNZDA,101502.00,09,12,2026,00,00") +
           Sentence("GNRMC,101502.00,A,5231.10000,N,01324.10000,E,10.000,90.00,081226,,,A") +
           Sentence("GNGNS,101502.00,5231.40000,N,01324.50000,E,AA,10,0.9,40.0,39.0,,,V") + Gga,
       {Fix}},
      {"midnight on a zda-dated stream, to the millisecond",
       Sentence("GPZDA,235959.500,31,12,2026,00,00") + Sentence("GPGGA,235959.500,5231.2000,N,01324.3000,E,1,05,,,,,,,") +
           Sentence("GPGGA,000000.500,5231.2000,N,01324.3000,E,1,05,,,,,,,"),
       {"2026-12-31T23:59:59.500+00:00 13.405000,52.520000 q1 s5 alt- v-",
        "2027-01-01T00:00:00.500+00:00 13.405000,52.520000 q1 s5 alt- v-"}},
      {"29 february of a leap year", Sentence("GPRMC,120000,A,5231.2000,N,01324.3000,E,,,290200,,,A"),
       {"2000-02-29T12:00:00.000+00:00 13.405000,52.520000 q1 s-1 alt- v-"}},
      {"impossible values are refused",
       Sentence("GPRMC,120000,A,5231.2000,N,01324.3000,E,,,310299,,,A") +
           Sentence("GPRMC,120001,A,5231.2000,N,01324.3000,E,,,290227,,,A") +
           Sentence("GPZDA,120002,31,04,2027,00,00") + Sentence("GPGGA,120002,5231.2000,N,01324.3000,E,1,05,,,,,,,") +
           Sentence("GPRMC,120003,A,5231.2000,N,01324.3000,E,-5.0,,010327,,,A") +
           Sentence("GPGGA,120004,5231.2000,N,01324.3000,E,1,05,,99999.0,M,,,,") +
           Sentence("GPGGA,120005,5231.2000,N,01324.3000,E,1,999,,,,,,,"),
       {}, 0, 6},
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
      std::vector<std::string> fixes, warnings;
      TNmeaParser parser([&](const TGpsFix& f) { fixes.push_back(gps_test::Show(f)); },
                         gps_test::Identity, [&](const std::string& w) { warnings.push_back(w); });
      if (byteByByte)
        for (char ch : c.Input) parser.Feed(&ch, 1);
      else
        parser.Feed(c.Input);
      parser.Flush();
      EXPECT_EQ(fixes, c.Fixes);
      EXPECT_EQ(parser.Counters().BadChecksum, c.BadChecksum);
      EXPECT_EQ(parser.Counters().Fixes, static_cast<int64_t>(c.Fixes.size()));
      EXPECT_EQ(parser.Counters().Refused, c.Refused);
      EXPECT_EQ(warnings.size(), c.Refused == 0 ? 0u : 1u);  // the first, then the tenth ...
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
