// The simulated network's faults: each shows on the line as the message
// that decides it, at the time the ground truth gives, and at its rate.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

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

// Whether `line` is a message that decides an event of `kind`.
bool Decides(const TSimTruthEvent& e, const std::string& line) {
  if (line.starts_with("IDLE,"))
    return (e.Kind == TEventKind::Reselection && std::stoi(line.substr(5)) == e.TargetArfcn) ||
           (e.Kind == TEventKind::CallDrop && e.Cause == "idle reports resumed");
  if (!line.starts_with("L3,")) return false;
  const std::vector<uint8_t> l3 = Layer3(line);
  const uint16_t id = GsmMessageId(l3.data(), static_cast<int>(l3.size()));
  const bool abnormalRelease = id == 0x60D && l3.size() > 2 && l3[2] != 0;
  switch (e.Kind) {
    case TEventKind::CallAttempt: return id == (e.Direction == TCallDirection::Originating ? 0x524 : 0x627);
    case TEventKind::CallSetup: return id == 0x301;
    case TEventKind::CallConnect: return id == 0x307;
    case TEventKind::CallEnd: return id == 0x32A;
    case TEventKind::Reselection: return id == 0x61B || id == 0x61C;  // the new cell's identity
    case TEventKind::CallDrop: return abnormalRelease;
    case TEventKind::CallSetupFailure: return id == 0x522 || abnormalRelease || id == 0x325 || id == 0x60D;
    case TEventKind::HandoverAttempt: return id == 0x62B;
    case TEventKind::HandoverSuccess: return id == 0x62C;
    case TEventKind::HandoverFailure: return id == 0x628;
    case TEventKind::LocationUpdateRequest: return id == 0x508;
    case TEventKind::LocationUpdateAccept: return id == 0x502;
    case TEventKind::LocationUpdateReject: return id == 0x504;
    default: return false;
  }
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
// session, and each rate at its extreme makes every chance a fault (or none).
TEST(HandsetFaults, EachFaultShowsInItsMessageAtItsRate) {
  struct TCase {
    const char* Name;
    TSimFaultRates Rates;
    std::function<void(const std::vector<TSimTruthEvent>&)> Check;
  };
  using K = TEventKind;
  const std::vector<TCase> cases{
      {"no faults", {}, [](const auto& t) {
         EXPECT_GE(CountKind(t, K::CallAttempt), 2u);
         EXPECT_GE(CountKind(t, K::HandoverAttempt), 2u);
         EXPECT_GE(CountKind(t, K::LocationUpdateRequest), 2u);
         for (K k : {K::CallDrop, K::CallSetupFailure, K::HandoverFailure, K::LocationUpdateReject})
           EXPECT_EQ(CountKind(t, k), 0u) << static_cast<int>(k);
       }},
      {"every set-up fails", {1, 0, 0, 0, 0}, [](const auto& t) {
         EXPECT_GE(CountKind(t, K::CallAttempt), 2u);
         EXPECT_EQ(CountKind(t, K::CallSetupFailure), CountKind(t, K::CallAttempt));
         EXPECT_EQ(CountKind(t, K::CallSetup), 0u);
       }},
      {"calls drop with a release", {0, 60, 0, 0, 0}, [](const auto& t) {
         EXPECT_GE(CountKind(t, K::CallDrop), 2u);
         EXPECT_EQ(CountKind(t, K::CallDrop), CountKind(t, K::CallSetup));
         EXPECT_EQ(CountKind(t, K::CallEnd), 0u);
       }},
      {"calls drop in silence", {0, 60, 1, 0, 0}, [](const auto& t) {
         EXPECT_GE(CountKind(t, K::CallDrop), 2u);
         for (const TSimTruthEvent& e : t)
           if (e.Kind == K::CallDrop) {
             EXPECT_EQ(e.Cause, "idle reports resumed");
           }
       }},
      {"every handover fails", {0, 0, 0, 1, 0}, [](const auto& t) {
         EXPECT_GE(CountKind(t, K::HandoverAttempt), 2u);
         EXPECT_EQ(CountKind(t, K::HandoverFailure), CountKind(t, K::HandoverAttempt));
         for (const TSimTruthEvent& e : t)
           if (e.Kind == K::HandoverFailure) {
             EXPECT_FALSE(e.Cell == e.Target);
           }
       }},
      {"every update rejected", {0, 0, 0, 0, 1}, [](const auto& t) {
         EXPECT_GE(CountKind(t, K::LocationUpdateRequest), 2u);
         EXPECT_EQ(CountKind(t, K::LocationUpdateReject), CountKind(t, K::LocationUpdateRequest));
       }},
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
    c.Check(truth);
    double last = 0;
    for (const TSimTruthEvent& e : truth) {
      EXPECT_GE(e.TimeS, last) << "out of time order";
      last = e.TimeS;
      EXPECT_TRUE(e.Cell.Valid);
      // The session's step is 50 ms: the line shows in the step that ends after it.
      const bool shown = std::any_of(lines.begin(), lines.end(), [&](const TLine& l) {
        return l.Time >= e.TimeS - 1e-9 && l.Time < e.TimeS + 0.05 + 1e-9 && Decides(e, l.Text);
      });
      EXPECT_TRUE(shown) << "kind " << static_cast<int>(e.Kind) << " at " << e.TimeS << " (" << e.Cause
                         << ") has no deciding line";
    }
  }
}

// The faults come from a generator of their own: the same seed and rates
// give the same events, and a fault-free network's bytes do not depend on it.
TEST(HandsetFaults, SameSeedSameFaults) {
  TSimulatorOptions o;
  o.Seed = 33;
  o.IncomingCallEveryS = 30;
  o.Faults = {0.5, 2, 0.5, 0.5, 0.5};
  THandsetSimulator a(o), b(o);
  const TSession sa = FaultySession(a), sb = FaultySession(b);
  EXPECT_EQ(sa.Bytes, sb.Bytes);
  ASSERT_EQ(a.Truth().size(), b.Truth().size());
  for (size_t i = 0; i < a.Truth().size(); ++i) {
    EXPECT_EQ(a.Truth()[i].Kind, b.Truth()[i].Kind);
    EXPECT_EQ(a.Truth()[i].TimeS, b.Truth()[i].TimeS);
  }
}
