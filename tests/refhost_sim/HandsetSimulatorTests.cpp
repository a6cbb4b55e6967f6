// The simulated handset against a host that behaves like the plug-in, and
// its lines through the stand-in decoding library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "refhost/gsm/GsmMessages.h"
#include "refhost/sim/HandsetSimulator.h"
#include "tests/refhost_sim/SessionTranscript.h"
#include "tests/standins/StandinsSupport.h"

using namespace sim_test;

namespace {

TSimulatorOptions Quiet(uint64_t seed = 7) {
  TSimulatorOptions o;
  o.Seed = seed;
  o.IncomingCallEveryS = 0;
  return o;
}

std::vector<uint16_t> MessageIds(const std::vector<std::string>& lines) {
  std::vector<uint16_t> ids;
  for (const std::string& line : lines) {
    if (!line.starts_with("L3,")) continue;
    std::vector<uint8_t> bytes;
    for (size_t i = 3; i + 1 < line.size(); i += 2)
      bytes.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
    ids.push_back(GsmMessageId(bytes.data(), static_cast<int>(bytes.size())));
  }
  return ids;
}

// Position of each wanted identifier, searched from the previous one on;
// npos when it is missing or out of order.
std::vector<size_t> InOrder(const std::vector<uint16_t>& ids, const std::vector<uint16_t>& wanted) {
  std::vector<size_t> at;
  size_t from = 0;
  for (uint16_t w : wanted) {
    const auto it = std::find(ids.begin() + static_cast<long>(from), ids.end(), w);
    at.push_back(it == ids.end() ? std::string::npos : static_cast<size_t>(it - ids.begin()));
    if (it != ids.end()) from = at.back() + 1;
  }
  return at;
}

size_t Count(const std::vector<std::string>& lines, std::string_view tag) {
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(tag); }));
}

}  // namespace

// Every way of cutting the plug-in's byte stream yields the same commands.
TEST(HandsetCommands, SplitAlikeUnderEveryChunking) {
  const std::string stream = std::string(ConnectRequest) + StartupBytes + IdleRefresh +
                             DedicatedRefresh + "\\D0301234567\r\n" + "\\E" + "(-I)" + "**O" +
                             "\\S" + IdleRefresh;
  std::vector<int> expected{SimConnectRequest};
  for (auto seq :
       {std::vector<int32_t>(StartupCommands.begin(), StartupCommands.end()),
        std::vector<int32_t>(IdleReportCommands.begin(), IdleReportCommands.end()),
        std::vector<int32_t>(DedicatedReportCommands.begin(), DedicatedReportCommands.end()),
        std::vector<int32_t>{0, 1, 71, 5, 3},
        std::vector<int32_t>(IdleReportCommands.begin(), IdleReportCommands.end())})
    expected.insert(expected.end(), seq.begin(), seq.end());

  for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, stream.size()}) {
    THandsetSimulator sim(Quiet());
    for (size_t at = 0; at < stream.size(); at += chunk)
      Send(sim, std::string_view(stream).substr(at, chunk), 0.001 * static_cast<double>(at));
    sim.Transmit(10);  // settles anything still waiting
    std::vector<int> got;
    for (const TSimCommand& c : sim.Commands()) got.push_back(c.Index);
    EXPECT_EQ(got, expected) << "chunk " << chunk;
    ASSERT_GT(sim.Commands().size(), 24u);
    EXPECT_EQ(sim.Commands()[24].Number(), "0301234567") << "chunk " << chunk;
    EXPECT_EQ(sim.SkippedInputBytes(), 0) << "chunk " << chunk;
  }
}

TEST(HandsetCommands, WaitsOnAnAmbiguousTailAndSkipsUnknownBytes) {
  THandsetSimulator sim(Quiet());
  Send(sim, "Z1", 1.0);  // "1" may still become the connect request
  EXPECT_TRUE(sim.Commands().empty());
  EXPECT_EQ(sim.SkippedInputBytes(), 1);
  sim.Transmit(1.0 + TSimCommandSplitter::StaleAfterS);
  ASSERT_EQ(sim.Commands().size(), 1u);
  EXPECT_EQ(sim.Commands()[0].Index, 30);
}

// The host's session: the 15 start-up commands first and in order, one
// report per refresh, and system information while BCCH is on.
TEST(HandsetSession, StartsUpAndAnswersEachRefreshOnce) {
  THandsetSimulator sim(Quiet());
  const TSession s = RunSession(sim, 20);
  ASSERT_GE(sim.Commands().size(), 16u);
  EXPECT_EQ(sim.Commands()[0].Index, SimConnectRequest);
  for (size_t i = 0; i < StartupCommands.size(); ++i)
    EXPECT_EQ(sim.Commands()[i + 1].Index, StartupCommands[i]);
  ASSERT_EQ(s.Lines.front(), "CONN,123\\2");
  // Start-up and every refresh owe one report; a refresh while one is due
  // (after a signalling line) merges into it; the last may be unanswered.
  const size_t reports = Count(s.Lines, "IDLE") + Count(s.Lines, "DED");
  EXPECT_EQ(Count(s.Lines, "DED"), 0u);
  EXPECT_GE(static_cast<size_t>(sim.Stats().Polls), reports);
  EXPECT_LE(static_cast<size_t>(sim.Stats().Polls), reports + Count(s.Lines, "L3") + 1);
  EXPECT_GT(reports, 30u);  // paced by the refreshes at about two a second
  const std::vector<uint16_t> ids = MessageIds(s.Lines);
  EXPECT_GE(std::count(ids.begin(), ids.end(), 0x61B), 2);  // system information 3 keeps coming
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 0x621), 0);  // paging reports are off
}

TEST(HandsetSession, RefreshesWithoutOtherTrafficGetOneIdleReportEach) {
  TSimulatorOptions o = Quiet();
  o.SystemInfoEveryS = 1000;
  THandsetSimulator sim(o);
  Send(sim, StartupBytes, 0.0);
  for (int i = 0; i < 5; ++i) Send(sim, IdleRefresh, 1.0 + i);
  const std::vector<std::string> lines = SplitLines(sim.Transmit(30));
  EXPECT_EQ(Count(lines, "IDLE"), 6u);  // start-up and five refreshes
  EXPECT_EQ(lines.size(), 6u);
}

// A dialled call runs through set-up and release; every line the handset
// sends is one the decoding library accepts, with the identifier we expect.
TEST(HandsetSession, DialledCallSignallingDecodesInOrder) {
  THandsetSimulator sim(Quiet(11));
  const TSession s = RunSession(sim, 45, {{5.0, "\\D0301234567\r\n"}, {35.0, "\\E"}});
  const std::vector<uint16_t> ids = MessageIds(s.Lines);
  const std::vector<uint16_t> wanted{0x63F, 0x524, 0x305, 0x302, 0x301, 0x307,
                                     0x30F, 0x325, 0x32D, 0x32A, 0x60D};
  const std::vector<size_t> at = InOrder(ids, wanted);
  for (size_t i = 0; i < wanted.size(); ++i)
    EXPECT_NE(at[i], std::string::npos) << std::hex << wanted[i];
  EXPECT_GT(Count(s.Lines, "DED"), 20u);
  EXPECT_EQ(sim.CallPhase(), TSimCallPhase::Idle);
  EXPECT_FALSE(sim.Dedicated());
  EXPECT_TRUE(s.Lines.back().starts_with("IDLE") || s.Lines.back().starts_with("L3,06"));

  standins_test::TDecodeBench bench;
  EXPECT_TRUE(standins_test::ConnectAnswer(s.Lines.front()));
  size_t l3 = 0;
  for (size_t i = 1; i < s.Lines.size(); ++i) {
    ASSERT_TRUE(bench.Decode(s.Lines[i])) << s.Lines[i];
    if (s.Lines[i].starts_with("L3")) {
      EXPECT_EQ(MessageIdOf(*bench.Record), ids[l3]) << s.Lines[i];
      EXPECT_TRUE(IsKnownGsmMessage(ids[l3++])) << s.Lines[i];
    }
  }
}

TEST(HandsetSession, IncomingCallIsAnsweredWithTheAnswerText) {
  TSimulatorOptions o = Quiet(3);
  o.IncomingCallEveryS = 10;  // first offer between 7 and 13 s
  THandsetSimulator sim(o);
  const TSession s = RunSession(sim, 25, {{16.0, "\\S"}});
  const std::vector<uint16_t> ids = MessageIds(s.Lines);
  const std::vector<uint16_t> wanted{0x63F, 0x627, 0x305, 0x308, 0x301, 0x307, 0x30F};
  const std::vector<size_t> at = InOrder(ids, wanted);
  for (size_t i = 0; i < wanted.size(); ++i)
    EXPECT_NE(at[i], std::string::npos) << std::hex << wanted[i];
  EXPECT_EQ(sim.CallPhase(), TSimCallPhase::Active);
}

TEST(HandsetSession, SameSeedSameBytesOtherSeedOtherBytes) {
  const std::map<double, std::string> call{{3.0, "\\D123\r\n"}, {20.0, "\\E"}};
  THandsetSimulator a(Quiet(5)), b(Quiet(5)), c(Quiet(6));
  const TSession sa = RunSession(a, 30, call), sb = RunSession(b, 30, call, 0.05);
  EXPECT_EQ(sa.Bytes, sb.Bytes);
  EXPECT_NE(sa.Bytes, RunSession(c, 30, call).Bytes);
}

// Each switch changes the bytes the way it says, against the same seed
// without it.
TEST(HandsetFaults, SwitchesCorruptSilenceOrFloodTheLine) {
  THandsetSimulator clean(Quiet());
  const TSession base = RunSession(clean, 20);

  struct TCase {
    const char* Name;
    std::function<void(TSimulatorOptions&)> Set;
    std::function<void(const TSession&, const THandsetSimulator&)> Check;
  };
  const std::vector<TCase> cases{
      {"noise", [](TSimulatorOptions& o) { o.NoiseRate = 0.01; },
       [&](const TSession& s, const THandsetSimulator& sim) {
         EXPECT_GT(sim.Stats().BitsFlipped, 0);
         EXPECT_NE(s.Bytes, base.Bytes);
       }},
      {"garbage", [](TSimulatorOptions& o) { o.GarbageEveryS = 2; },
       [&](const TSession& s, const THandsetSimulator& sim) {
         EXPECT_GE(sim.Stats().GarbageBursts, 4);
         const size_t tagged =
             Count(s.Lines, "IDLE") + Count(s.Lines, "L3,") + Count(s.Lines, "CONN");
         EXPECT_EQ(s.Lines.size() - tagged, static_cast<size_t>(sim.Stats().GarbageBursts));
       }},
      {"silence", [](TSimulatorOptions& o) { o.SilenceAtS = 5, o.SilenceForS = 6; },
       [&](const TSession& s, const THandsetSimulator& sim) {
         EXPECT_GT(sim.Stats().LinesSilenced, 0);
         EXPECT_LT(s.Lines.size(), base.Lines.size());
         EXPECT_GT(Count(s.Lines, "IDLE"), 5u);  // the broadcast brings the polls back
       }},
      {"no answer", [](TSimulatorOptions& o) { o.NoAnswer = true; },
       [&](const TSession& s, const THandsetSimulator&) { EXPECT_TRUE(s.Bytes.empty()); }},
      {"flood", [](TSimulatorOptions& o) { o.FloodBaud = 921600; },
       [&](const TSession& s, const THandsetSimulator&) {
         // 92,160 bytes a second from the start-up at 0.05 s on.
         EXPECT_NEAR(static_cast<double>(s.Bytes.size()), 92160.0 * 19.95, 200.0);
         EXPECT_EQ(Count(s.Lines, "IDLE") + 1, s.Lines.size());
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSimulatorOptions o = Quiet();
    c.Set(o);
    THandsetSimulator sim(o);
    c.Check(RunSession(sim, 20), sim);
  }
}

TEST(SimulatedDrive, StaysOnTheRoadAroundTheStart) {
  TSimulatedDrive drive(9), same(9), other(10);
  double maxDistance = 0;
  for (double t = 0; t < 3600; t += 7.3) {
    const TDrivePoint p = drive.At(t);
    ASSERT_GE(p.SpeedMps, 10.0);
    ASSERT_LE(p.SpeedMps, 25.0);
    const TDrivePoint q = same.At(t);
    ASSERT_EQ(p.Longitude, q.Longitude);
    ASSERT_EQ(p.Latitude, q.Latitude);
    const double dx = (p.Longitude - 13.40) * 111320 * std::cos(52.52 * 3.14159265 / 180);
    maxDistance = std::max(maxDistance, std::hypot(dx, (p.Latitude - 52.52) * 111320));
  }
  EXPECT_GT(maxDistance, 1000.0);
  EXPECT_LT(maxDistance, 6000.0);
  EXPECT_NE(drive.At(600).Longitude, other.At(600).Longitude);
  // One second apart the positions differ by about the speed.
  const TDrivePoint a = drive.At(100), b = drive.At(101);
  const double step =
      std::hypot((b.Longitude - a.Longitude) * 111320 * std::cos(52.52 * 3.14159265 / 180),
                 (b.Latitude - a.Latitude) * 111320);
  EXPECT_NEAR(step, (a.SpeedMps + b.SpeedMps) / 2, 3.0);
}

// The bytes of a seeded session may change only on purpose: regenerate the
// file with the target regenerate_refhost_sim_golden and review the diff.
TEST(HandsetSession, GoldenTranscript) {
  std::ifstream in(REFHOST_SIM_DATA_DIR "/session-seed7.txt", std::ios::binary);
  ASSERT_TRUE(in) << "missing " REFHOST_SIM_DATA_DIR "/session-seed7.txt";
  const std::string want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(want == GoldenTranscript()) << "the session differs from the golden transcript";
}

// After each handover the dedicated reports come from the cell the command
// named, and the old serving cell is among the neighbours.
TEST(HandsetSession, HandoverMovesTheReportsToTheNamedCell) {
  THandsetSimulator sim(Quiet(1));
  const TSession s = RunSession(sim, 600, {{5.0, "\\D0301234567\r\n"}});
  ASSERT_GT(sim.Stats().Handovers, 0);
  int checked = 0;
  for (size_t i = 0; i < s.Lines.size(); ++i) {
    if (!s.Lines[i].starts_with("L3,062B")) continue;  // handover command
    // Cell description: ARFCN high bits over NCC and BCC, then the low octet.
    const int high = std::stoi(s.Lines[i].substr(7, 2), nullptr, 16) >> 6;
    const int target = high << 8 | std::stoi(s.Lines[i].substr(9, 2), nullptr, 16);
    size_t j = i + 1;
    while (j < s.Lines.size() && !s.Lines[j].starts_with("L3,062C")) ++j;  // complete
    while (j < s.Lines.size() && !s.Lines[j].starts_with("DED,")) ++j;
    if (j == s.Lines.size()) break;
    EXPECT_EQ(std::stoi(s.Lines[j].substr(4)), target) << s.Lines[j];
    ++checked;
  }
  EXPECT_EQ(checked, sim.Stats().Handovers);
}

TEST(GsmMessages, NamesChannelsAndIdentifiers) {
  struct TCase {
    uint16_t Id;
    const char* Name;
    TGsmChannel Channel;
  };
  for (const TCase& c : {TCase{0x61B, "SYSTEM INFORMATION TYPE 3", TGsmChannel::Bcch},
                         TCase{0x600, "SYSTEM INFORMATION TYPE 13", TGsmChannel::Bcch},
                         TCase{0x63F, "IMMEDIATE ASSIGNMENT", TGsmChannel::Ccch},
                         TCase{0x621, "PAGING REQUEST TYPE 1", TGsmChannel::Ccch},
                         TCase{0x61D, "SYSTEM INFORMATION TYPE 5", TGsmChannel::Dcch},
                         TCase{0x301, "ALERTING", TGsmChannel::Dcch},
                         TCase{0x60D, "CHANNEL RELEASE", TGsmChannel::Dcch},
                         TCase{0x524, "CM SERVICE REQUEST", TGsmChannel::Dcch},
                         TCase{0x3FF, "UNKNOWN", TGsmChannel::Dcch}}) {
    const TGsmMessageInfo info = LookupGsmMessage(c.Id);
    EXPECT_STREQ(info.Name, c.Name) << std::hex << c.Id;
    EXPECT_EQ(info.Channel, c.Channel) << std::hex << c.Id;
  }
  // The send sequence number is cleared for call control and mobility
  // management only.
  const uint8_t cc[] = {0x03, 0x41}, mm[] = {0x05, 0xE4}, rr[] = {0x06, 0x7F}, ti[] = {0x83, 0x2D};
  EXPECT_EQ(GsmMessageId(cc, 2), 0x301);
  EXPECT_EQ(GsmMessageId(mm, 2), 0x524);
  EXPECT_EQ(GsmMessageId(rr, 2), 0x67F);
  EXPECT_EQ(GsmMessageId(ti, 2), 0x32D);
  EXPECT_EQ(GsmMessageId(cc, 1), 0);
  EXPECT_TRUE(IsSacchMessage(0x615) && IsSacchMessage(0x61E));
  EXPECT_FALSE(IsSacchMessage(0x61B) || IsSacchMessage(0x301));
}
