// The simulated network's faults: each shows on the line as the message
// that decides it, at the time the ground truth gives, and at its rate.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "refhost/gsm/GsmMessages.h"
#include "refhost/sim/HandsetSimulator.h"
#include "tests/refhost_sim/SimTestSupport.h"

using namespace sim_test;

namespace {

struct TLine {
  double Time;
  std::string Text;
};

std::vector<TLine> Received(const TSession& s) {
  std::vector<TLine> lines;
  for (const std::string& entry : s.Transcript) {
    double t = 0;
    int used = 0;
    if (std::sscanf(entry.c_str(), "%lf < %n", &t, &used) == 1 && used > 0)
      lines.push_back({t, entry.substr(static_cast<size_t>(used))});
  }
  return lines;
}

std::vector<uint8_t> Layer3(const std::string& line) {
  std::vector<uint8_t> bytes;
  for (size_t i = 3; i + 1 < line.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
  return bytes;
}

// Whether `line` is a message that decides `e`.
bool Decides(const TSimTruthEvent& e, const std::string& line) {
  using K = TEventKind;
  if (line.starts_with("IDLE,"))
    return (e.Kind == K::Reselection && std::stoi(line.substr(5)) == e.TargetArfcn) ||
           (e.Kind == K::CallDrop && e.Cause == "idle reports resumed");
  if (!line.starts_with("L3,")) return false;
  const std::vector<uint8_t> l3 = Layer3(line);
  const uint16_t id = GsmMessageId(l3.data(), static_cast<int>(l3.size()));
  const bool abnormalRelease = id == 0x60D && l3.size() > 2 && l3[2] != 0;
  if (e.Kind == K::CallDrop) return abnormalRelease;
  if (e.Kind == K::CallAttempt) return id == (e.Direction == TCallDirection::Originating ? 0x524 : 0x627);
  // Set-up failure: CM SERVICE REJECT, a release, or the caller's DISCONNECT.
  const std::multimap<K, uint16_t> deciding{
      {K::CallSetup, 0x301},          {K::CallConnect, 0x307},          {K::CallEnd, 0x32A},
      {K::CallSetupFailure, 0x522},   {K::CallSetupFailure, 0x60D},     {K::CallSetupFailure, 0x325},
      {K::HandoverAttempt, 0x62B},    {K::HandoverSuccess, 0x62C},      {K::HandoverFailure, 0x628},
      {K::Reselection, 0x61B},        {K::Reselection, 0x61C},  // the new cell's identity
      {K::LocationUpdateRequest, 0x508}, {K::LocationUpdateAccept, 0x502}, {K::LocationUpdateReject, 0x504}};
  const auto [from, to] = deciding.equal_range(e.Kind);
  return std::any_of(from, to, [&](const auto& d) { return d.second == id; });
}

size_t CountKind(const std::vector<TSimTruthEvent>& truth, TEventKind kind) {
  return static_cast<size_t>(std::count_if(truth.begin(), truth.end(),
                                           [&](const TSimTruthEvent& e) { return e.Kind == kind; }));
}

std::string Command(int index) { return std::string(CommandStrings[static_cast<size_t>(index)]); }

// Two calls dialled, handovers and location updates asked for, calls offered.
TSession FaultySession(THandsetSimulator& sim) {
  const std::string handover = Command(12), update = Command(20);
  return RunSession(sim, 200,
                    {{5.0, "\\D0301234567\r\n"}, {20.0, handover}, {32.0, handover},
                     {44.0, handover}, {60.0, "\\E"}, {62.0, update}, {67.0, update},
                     {72.0, update}, {100.0, "\\D0307654321\r\n"}, {115.0, handover},
                     {127.0, handover}, {150.0, "\\E"}, {152.0, update}, {157.0, update},
                     {162.0, update}});
}

}  // namespace

// Every event of the truth has its deciding line in the same step of the
// session, and each rate at its extreme makes every chance a fault, or none.
TEST(HandsetFaults, EachFaultShowsInItsMessageAtItsRate) {
  using K = TEventKind;
  struct TCase {
    const char* Name;
    TSimFaultRates Rates;
    K Fault, Of;        // with the rate at 1, every `Of` ends in `Fault`
    const char* Cause;  // and says this
  };
  const std::vector<TCase> cases{
      {"no faults", {}, K::LineGap, K::CallAttempt, ""},
      {"every set-up fails", {1, 0, 0, 0, 0}, K::CallSetupFailure, K::CallAttempt, nullptr},
      {"calls drop with a release", {0, 60, 0, 0, 0}, K::CallDrop, K::CallSetup, "abnormal channel release"},
      {"calls drop in silence", {0, 60, 1, 0, 0}, K::CallDrop, K::CallSetup, "idle reports resumed"},
      {"every handover fails", {0, 0, 0, 1, 0}, K::HandoverFailure, K::HandoverAttempt, "handover failure"},
      {"every update rejected", {0, 0, 0, 0, 1}, K::LocationUpdateReject, K::LocationUpdateRequest,
       "network failure"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSimulatorOptions o;
    o.Seed = 21;
    o.IncomingCallEveryS = 60;
    o.Faults = c.Rates;
    THandsetSimulator sim(o);
    const std::vector<TLine> lines = Received(FaultySession(sim));
    const std::vector<TSimTruthEvent>& truth = sim.Truth();
    EXPECT_GE(CountKind(truth, c.Of), 2u);
    if (c.Fault == K::LineGap) {  // no faults: none of their events
      for (K k : {K::CallDrop, K::CallSetupFailure, K::HandoverFailure, K::LocationUpdateReject})
        EXPECT_EQ(CountKind(truth, k), 0u) << static_cast<int>(k);
      EXPECT_GE(CountKind(truth, K::HandoverAttempt) * CountKind(truth, K::LocationUpdateRequest), 4u);
    } else {
      EXPECT_EQ(CountKind(truth, c.Fault), CountKind(truth, c.Of));
    }
    double last = 0;
    for (const TSimTruthEvent& e : truth) {
      EXPECT_GE(e.TimeS, last) << "out of time order";
      last = e.TimeS;
      EXPECT_TRUE(e.Cell.Valid);
      if (e.Kind == c.Fault && c.Cause) { EXPECT_EQ(e.Cause, c.Cause); }
      // The session's step is 50 ms: the line shows in the step that ends after it.
      const bool shown = std::any_of(lines.begin(), lines.end(), [&](const TLine& l) {
        return l.Time >= e.TimeS - 1e-9 && l.Time < e.TimeS + 0.05 + 1e-9 && Decides(e, l.Text);
      });
      EXPECT_TRUE(shown) << "kind " << static_cast<int>(e.Kind) << " at " << e.TimeS << " (" << e.Cause
                         << ") has no deciding line";
    }
  }
}
