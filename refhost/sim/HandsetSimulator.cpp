#include "refhost/sim/HandsetSimulator.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "serial/Orvik7316Cmd.h"

namespace {

constexpr char ConnectAnswer[] = "CONN,123\\2";
// Refreshes that come while a report is still due merge into it, as a
// handset has one report to send, not a queue of them.
constexpr int MaxOwedReports = 1;
constexpr double SacchPeriodS = 0.96;
constexpr int HandoverMarginDb = 6;
constexpr int ReselectMarginDb = 5;

// Catalogue indices whose switches the simulator keeps.
enum : int {
  CmdDial = 0,
  CmdHangUp = 1,
  CmdAnswer = 3,
  CmdForceHandover = 12,
  CmdForceUpdate = 20,
  CmdIdleOn = 30,
  CmdIdleOff = 31,
  CmdDedicatedOn = 36,
  CmdDedicatedOff = 37,
  CmdL3On = 38,
  CmdL3Off = 39,
  CmdImmAssOn = 48,
  CmdImmAssOff = 49,
  CmdBcchOn = 52,
  CmdBcchOff = 53,
  CmdPagingOn = 56,
  CmdPagingOff = 57,
};

// Establishment causes of the channel request (top three bits).
constexpr uint8_t CauseOriginatingSpeech = 0xE0;
constexpr uint8_t CauseAnswerToPaging = 0x80;
constexpr uint8_t CauseLocationUpdate = 0x00;
// Call control causes.
constexpr uint8_t CauseNormalClearing = 16;
constexpr uint8_t CauseNoAnswer = 19;
// Causes of the injected faults.
constexpr uint8_t RrAbnormalUnspecified = 0x01;
constexpr uint8_t RrAbnormalTimerExpired = 0x03;
constexpr uint8_t MmServiceOptionOutOfOrder = 0x22;
constexpr uint8_t MmNetworkFailure = 0x11;
// How long a handset that lost its call stays quiet before idle reports resume.
constexpr double SilentDropMinS = 3.0, SilentDropMaxS = 6.0;
// After a failed handover the network waits before it tries again.
constexpr double HandoverBackoffS = 10;

template <size_t N>
bool EndsWith(const std::vector<int>& recent, const std::array<int32_t, N>& sequence) {
  return recent.size() >= N && std::equal(sequence.begin(), sequence.end(), recent.end() - N);
}

std::string Hex(const TGsmBytes& bytes) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s += Digits[b >> 4];
    s += Digits[b & 15];
  }
  return s;
}

}  // namespace

THandsetSimulator::THandsetSimulator(const TSimulatorOptions& options)
    : Opts(options),
      DriveModel(std::make_unique<TSimulatedDrive>(options.Seed, options.Drive)),
      RadioModel(std::make_unique<TSimRadio>(*DriveModel, options.Seed)),
      NetRng(options.Seed ^ 0x4E3704E3704E3704ull),
      FaultRng(options.Seed ^ 0xFA17FA17FA17FA17ull),
      FaultNet(options.Seed ^ 0x0DD5F00D0DD5F00Dull) {
  Tmsi = static_cast<uint32_t>(NetRng.Next());
  At(Opts.ReportIntervalS, [this] { RadioTick(); });
  At(Opts.SystemInfoEveryS, [this] { SystemInfoTick(); });
  At(SacchPeriodS, [this] { SacchTick(); });
  if (Opts.IncomingCallEveryS > 0)
    At(Opts.IncomingCallEveryS * NetRng.Range(0.7, 1.3), [this] { OfferCall(); });
  if (Opts.GarbageEveryS > 0)
    At(Opts.GarbageEveryS * FaultRng.Range(0.5, 1.5), [this] { EmitGarbage(); });
}

THandsetSimulator::~THandsetSimulator() = default;

// --- time ---------------------------------------------------------------

void THandsetSimulator::At(double due, std::function<void()> run) {
  Events.push({std::max(due, Clock), EventOrder++, std::move(run)});
}

void THandsetSimulator::InCall(double due, std::function<void()> run) {
  At(due, [this, generation = CallGeneration, run = std::move(run)] {
    if (generation == CallGeneration) run();
  });
}

void THandsetSimulator::Advance(double now) {
  for (;;) {
    const double event =
        Events.empty() ? std::numeric_limits<double>::infinity() : Events.top().Due;
    const double stale = Splitter.StaleAt();
    const double next = std::min(event, stale);
    if (next > now) break;
    Clock = std::max(Clock, next);
    if (stale <= event) {
      std::vector<TSimCommand> commands;
      Splitter.Flush(Clock, commands);
      for (const TSimCommand& c : commands) Apply(c);
      continue;
    }
    // Copy out before running: the event may plan new ones.
    std::function<void()> run = Events.top().Run;
    Events.pop();
    run();
  }
  Clock = std::max(Clock, now);
}

double THandsetSimulator::NextDue() const {
  const double event = Events.empty() ? std::numeric_limits<double>::infinity() : Events.top().Due;
  return std::min(event, Splitter.StaleAt());
}

void THandsetSimulator::Receive(const uint8_t* data, size_t count, double now) {
  Advance(now);
  std::vector<TSimCommand> commands;
  Splitter.Push(data, count, Clock, commands);
  for (const TSimCommand& c : commands) Apply(c);
}

std::vector<uint8_t> THandsetSimulator::Transmit(double now) {
  Advance(now);
  std::vector<uint8_t> bytes;
  bytes.swap(Out);
  return bytes;
}

// --- commands -----------------------------------------------------------

void THandsetSimulator::Apply(const TSimCommand& command) {
  Recognised.push_back(command);
  Heard = true;
  if (command.Index == SimConnectRequest) {
    if (!Opts.NoAnswer) At(Clock + 0.05, [this] { Emit(ConnectAnswer); });
    return;
  }
  const bool wasActive = Active;
  Active = true;
  if (!wasActive && Opts.FloodBaud > 0) At(Clock, [this] { FloodTick(); });
  Recent.push_back(command.Index);
  if (Recent.size() > StartupCommands.size()) Recent.erase(Recent.begin());

  switch (command.Index) {
    case CmdDial:
      if (!command.Number().empty()) StartMoCall(command.Number());
      break;
    case CmdHangUp: MobileRelease(); break;
    case CmdAnswer: AnswerCall(); break;
    case CmdForceHandover:
      if (Connection == TConnection::Traffic && !RadioModel->Neighbours().empty())
        Handover(RadioModel->Neighbours().front().Cell);
      break;
    case CmdForceUpdate:
      if (Connection == TConnection::None) LocationUpdate(CellIdentity(RadioModel->Serving()).Lac);
      break;
    case CmdIdleOn: IdleReports = true; break;
    case CmdIdleOff: IdleReports = false; break;
    case CmdDedicatedOn: DedicatedReports = true; break;
    case CmdDedicatedOff: DedicatedReports = false; break;
    case CmdL3On: Layer3 = true; break;
    case CmdL3Off: Layer3 = false; break;
    case CmdImmAssOn: ImmediateAssignments = true; break;
    case CmdImmAssOff: ImmediateAssignments = false; break;
    case CmdBcchOn: Bcch = true; break;
    case CmdBcchOff: Bcch = false; break;
    case CmdPagingOn: Paging = true; break;
    case CmdPagingOff: Paging = false; break;
    default: break;
  }
  if (EndsWith(Recent, IdleReportCommands) || EndsWith(Recent, DedicatedReportCommands)) Poll();
  if (EndsWith(Recent, StartupCommands)) {
    // Reports just switched on: the handset sends its first one, and the
    // serving cell's broadcast soon follows.
    Poll();
    SystemInfoStep = 2;  // system information 3 first
  }
}

void THandsetSimulator::Poll() {
  ++Counters.Polls;
  if (Opts.FloodBaud > 0) return;
  OwedReports = std::min(OwedReports + 1, MaxOwedReports);
  ScheduleReport();
}

void THandsetSimulator::ScheduleReport() {
  if (ReportPlanned || OwedReports == 0) return;
  ReportPlanned = true;
  At(std::max(Clock + 0.02, LastReport + Opts.ReportIntervalS), [this] {
    ReportPlanned = false;
    --OwedReports;
    LastReport = Clock;
    if (Dedicated()) {
      if (DedicatedReports) Emit(RadioModel->DedicatedLine());
    } else if (IdleReports) {
      Emit(RadioModel->IdleLine());
      if (!Muted()) AfterIdleLine();
    }
    ++Counters.ReportsSent;
    ScheduleReport();
  });
}

// --- output ---------------------------------------------------------------

void THandsetSimulator::Emit(const std::string& line) {
  if (Muted() || (Opts.SilenceAtS >= 0 && Clock >= Opts.SilenceAtS &&
                  Clock < Opts.SilenceAtS + Opts.SilenceForS)) {
    ++Counters.LinesSilenced;
    return;
  }
  const size_t start = Out.size();
  Out.insert(Out.end(), line.begin(), line.end());
  Out.push_back('\r');
  Out.push_back('\n');
  if (Opts.NoiseRate > 0) {
    for (size_t i = start; i < Out.size(); ++i) {
      if (FaultRng.Chance(Opts.NoiseRate)) {
        Out[i] ^= static_cast<uint8_t>(1u << FaultRng.Below(8));
        ++Counters.BitsFlipped;
      }
    }
  }
  Counters.BytesSent += static_cast<int64_t>(Out.size() - start);
  ++Counters.LinesSent;
}

bool THandsetSimulator::EmitL3(TL3Path path, const TGsmBytes& message) {
  if (!Active || Opts.FloodBaud > 0) return false;
  const bool on = path == TL3Path::Bcch                  ? Bcch
                  : path == TL3Path::ImmediateAssignment ? ImmediateAssignments
                  : path == TL3Path::Paging              ? Paging
                                                         : Layer3;
  if (!on || Muted()) return false;
  Emit("L3," + Hex(message));
  ++Counters.Layer3Sent;
  return true;
}

void THandsetSimulator::EmitGarbage() {
  At(Clock + Opts.GarbageEveryS * FaultRng.Range(0.5, 1.5), [this] { EmitGarbage(); });
  if (!Heard) return;
  std::string burst(8 + FaultRng.Below(57), '\0');
  // Anything but CR, so the burst ends where the line end after it says.
  for (char& c : burst) {
    do c = static_cast<char>(FaultRng.Below(256));
    while (c == '\r');
  }
  ++Counters.GarbageBursts;
  Emit(burst);
}

// --- the radio and the network's periodic traffic -----------------------

void THandsetSimulator::RadioTick() {
  At(Clock + Opts.ReportIntervalS, [this] { RadioTick(); });
  RadioModel->Step(Clock);
  const std::vector<TSimNeighbour> nbs = RadioModel->Neighbours();
  if (nbs.empty()) return;
  const int serving = RadioModel->RxLev(RadioModel->Serving());
  const TSimNeighbour best = nbs.front();
  if (Connection == TConnection::Traffic) {
    if (!HandoverPending && best.RxLev >= serving + HandoverMarginDb) Handover(best.Cell);
  } else if (Connection == TConnection::None && !Muted() &&
             best.RxLev >= serving + ReselectMarginDb) {
    const uint16_t oldLac = CellIdentity(RadioModel->Serving()).Lac;
    // Before the first idle report after a channel the handset is still
    // choosing its cell: that is no reselection to see.
    if (ReselectionShown && IdleSinceChannel) {
      ReselectedFrom = RadioModel->Serving();
      ReselectionShown = false;
    }
    RadioModel->SetServing(best.Cell);
    ++Counters.Reselections;
    SystemInfoStep = 2;  // the new cell's system information 3 next
    // The update follows the first report from the new cell, so the change
    // of cell shows in idle mode before the channel is taken.
    if (CellIdentity(best.Cell).Lac != oldLac) {
      if (!IdleReports) LocationUpdate(oldLac);
      else if (UpdateAfterIdle < 0) UpdateAfterIdle = oldLac;
    }
  }
}

void THandsetSimulator::SystemInfoTick() {
  At(Clock + Opts.SystemInfoEveryS, [this] { SystemInfoTick(); });
  if (Connection != TConnection::None) return;  // the BCCH is not read on a channel
  const size_t cell = RadioModel->Serving();
  switch (SystemInfoStep++ % 4) {
    case 0: {
      std::vector<uint16_t> channels{RadioModel->Cell(cell).Arfcn};
      EmitL3(TL3Path::Bcch, gsm::SystemInformation1(channels));
      break;
    }
    case 1: EmitL3(TL3Path::Bcch, gsm::SystemInformation2(NeighbourArfcns(cell))); break;
    case 2:
      // The new cell's identity shows a reselection as well as its report does.
      if (EmitL3(TL3Path::Bcch, gsm::SystemInformation3(CellIdentity(cell)))) ShowReselection();
      break;
    default:
      // Type 4 tells the location area only: a new one shows the move.
      if (EmitL3(TL3Path::Bcch, gsm::SystemInformation4(CellIdentity(cell))) && !ReselectionShown &&
          CellIdentity(cell).Lac != CellIdentity(ReselectedFrom).Lac)
        ShowReselection();
      break;
  }
  // Pages for other mobiles, seen only while paging reports are on.
  if (NetRng.Chance(0.3))
    EmitL3(TL3Path::Paging, gsm::PagingRequestType1(static_cast<uint32_t>(NetRng.Next())));
}

void THandsetSimulator::SacchTick() {
  At(Clock + SacchPeriodS, [this] { SacchTick(); });
  if (Connection == TConnection::None) return;
  const bool setUp = Phase == TSimCallPhase::Alerting || Phase == TSimCallPhase::Active ||
                     Phase == TSimCallPhase::Ringing;
  if (setUp && Connection == TConnection::Traffic && !HandoverPending &&
      Fault(Opts.Faults.DropsPerMinute * SacchPeriodS / 60)) {
    DropCall();
    return;
  }
  const size_t cell = RadioModel->Serving();
  switch (SacchStep++ % 4) {
    case 0: EmitL3(TL3Path::Dedicated, gsm::SystemInformation5(NeighbourArfcns(cell))); break;
    case 2: EmitL3(TL3Path::Dedicated, gsm::SystemInformation6(CellIdentity(cell))); break;
    default: {
      // The measurement report names neighbours by their place in the list
      // the network broadcast (ascending ARFCN).
      const std::vector<uint16_t> list = NeighbourArfcns(cell);
      std::vector<TGsmMeasuredCell> measured;
      for (const TSimNeighbour& n : RadioModel->Neighbours()) {
        const auto it = std::find(list.begin(), list.end(), RadioModel->Cell(n.Cell).Arfcn);
        if (it != list.end())
          measured.push_back(
              {static_cast<uint8_t>(it - list.begin()), RadioModel->Cell(n.Cell).Bsic, n.RxLev});
      }
      RadioModel->DedicatedLine();  // draws this period's quality
      const TSimRadio::TDedicated& d = RadioModel->LastDedicated();
      EmitL3(TL3Path::Dedicated,
             gsm::MeasurementReport(d.RxLevFull, d.RxLevSub, d.RxQualFull, d.RxQualSub, measured));
      break;
    }
  }
}

void THandsetSimulator::FloodTick() {
  const std::string line = RadioModel->IdleLine();
  Emit(line);
  ++Counters.ReportsSent;
  At(Clock + static_cast<double>(line.size() + 2) * 10.0 / Opts.FloodBaud, [this] { FloodTick(); });
}

// --- calls ----------------------------------------------------------------

gsm::TCcHeader THandsetSimulator::Cc(bool fromNetwork) {
  gsm::TCcHeader h = Transaction;
  h.FromNetwork = fromNetwork;
  h.Sequence = fromNetwork ? 0 : NextSequence();
  return h;
}

void THandsetSimulator::Establish(double at, uint8_t cause, TConnection kind) {
  InCall(at, [this, cause, kind] {
    // A move not yet reported shows only as the channel's cell: no reselection.
    ReselectionShown = true;
    const TDriveCell& c = RadioModel->Cell(RadioModel->Serving());
    Channel = {false, static_cast<uint8_t>(NetRng.Below(8)), 0, static_cast<uint8_t>(c.Bsic & 7),
               c.Arfcn};
    Connection = kind;
    IdleSinceChannel = false;
    MsSequence = 0;
    EmitL3(TL3Path::ImmediateAssignment,
           gsm::ImmediateAssignment(Channel, cause, static_cast<uint8_t>(NetRng.Below(32)),
                                    static_cast<uint16_t>(NetRng.Below(42432)),
                                    RadioModel->TimingAdvance()));
  });
}

void THandsetSimulator::MoveToTraffic(double at) {
  InCall(at, [this] {
    Channel.Traffic = true;
    Channel.Timeslot = static_cast<uint8_t>(1 + NetRng.Below(7));
    EmitL3(TL3Path::Dedicated, gsm::AssignmentCommand(Channel, 5));
  });
  InCall(at + 0.1, [this] {
    Connection = TConnection::Traffic;
    EmitL3(TL3Path::Dedicated, gsm::AssignmentComplete());
  });
}

void THandsetSimulator::ReleaseChannel(double at, uint8_t rrCause, std::function<void()> shown) {
  InCall(at, [this, rrCause, shown = std::move(shown)] {
    EmitL3(TL3Path::Dedicated, gsm::ChannelRelease(rrCause));
    if (shown) shown();
    Connection = TConnection::None;
    Phase = TSimCallPhase::Idle;
    TransactionOpen = false;
    HandoverPending = false;
    Updating = false;
    SystemInfoStep = 2;
    if (!PendingDial.empty()) {
      const std::string number = std::move(PendingDial);
      PendingDial.clear();
      StartMoCall(number);
    }
  });
}

void THandsetSimulator::StartMoCall(const std::string& number) {
  if (Phase != TSimCallPhase::Idle) return;
  if (Connection != TConnection::None) {  // a location update holds the channel
    PendingDial = number;
    return;
  }
  if (Muted()) return;  // no service: the dial goes nowhere
  ++CallGeneration;
  Phase = TSimCallPhase::Setup;
  Transaction = {};
  Transaction.Transaction = {0, true};
  const bool fail = Fault(Opts.Faults.SetupFailure);
  const bool reject = fail && FaultNet.Chance(0.5);
  double t = Clock + 0.2;
  Establish(t, CauseOriginatingSpeech, TConnection::Signalling);
  InCall(t += 0.15, [this] {
    EmitL3(TL3Path::Dedicated, gsm::CmServiceRequest(Tmsi, NextSequence()));
    Record(TEventKind::CallAttempt, TCallDirection::Originating);
  });
  if (reject) {
    InCall(t += 0.3, [this] {
      EmitL3(TL3Path::Dedicated, gsm::CmServiceReject(MmServiceOptionOutOfOrder));
      Record(TEventKind::CallSetupFailure, TCallDirection::Originating, "service rejected");
    });
    ReleaseChannel(t + 0.2);
    return;
  }
  InCall(t += 0.2, [this] { EmitL3(TL3Path::Dedicated, gsm::CipheringModeCommand()); });
  InCall(t += 0.1, [this] { EmitL3(TL3Path::Dedicated, gsm::CipheringModeComplete()); });
  InCall(t += 0.05, [this] { EmitL3(TL3Path::Dedicated, gsm::ClassmarkChange()); });
  InCall(t += 0.15, [this, number] {
    TransactionOpen = true;
    EmitL3(TL3Path::Dedicated, gsm::CcSetup(Cc(false), number));
  });
  InCall(t += 0.3, [this] { EmitL3(TL3Path::Dedicated, gsm::CcCallProceeding(Cc(true))); });
  if (fail) {
    ReleaseChannel(t + 0.6, RrAbnormalUnspecified, [this] {
      Record(TEventKind::CallSetupFailure, TCallDirection::Originating, "released before alerting");
    });
    return;
  }
  MoveToTraffic(t += 0.4);
  InCall(t += NetRng.Range(1.5, 3.0), [this] {
    Phase = TSimCallPhase::Alerting;
    EmitL3(TL3Path::Dedicated, gsm::CcAlerting(Cc(true)));
    Record(TEventKind::CallSetup, TCallDirection::Originating);
  });
  InCall(t += NetRng.Range(3.0, 8.0), [this] {
    Phase = TSimCallPhase::Active;
    EmitL3(TL3Path::Dedicated, gsm::CcConnect(Cc(true)));
    Record(TEventKind::CallConnect, TCallDirection::Originating);
  });
  InCall(t += 0.1, [this] { EmitL3(TL3Path::Dedicated, gsm::CcConnectAcknowledge(Cc(false))); });
}

void THandsetSimulator::OfferCall() {
  At(Clock + Opts.IncomingCallEveryS * NetRng.Range(0.7, 1.3), [this] { OfferCall(); });
  if (!Active || Phase != TSimCallPhase::Idle || Connection != TConnection::None ||
      Opts.FloodBaud > 0 || Muted())
    return;
  ++Counters.CallsOffered;
  ++CallGeneration;
  Phase = TSimCallPhase::Setup;
  Transaction = {};
  Transaction.Transaction = {0, false};
  const bool fail = Fault(Opts.Faults.SetupFailure);
  // Paging reports are off: the call shows from the immediate assignment on.
  double t = Clock;
  Establish(t, CauseAnswerToPaging, TConnection::Signalling);
  InCall(t += 0.15, [this] {
    EmitL3(TL3Path::Dedicated, gsm::PagingResponse(Tmsi));
    Record(TEventKind::CallAttempt, TCallDirection::Terminating);
  });
  InCall(t += 0.2, [this] { EmitL3(TL3Path::Dedicated, gsm::CipheringModeCommand()); });
  InCall(t += 0.1, [this] { EmitL3(TL3Path::Dedicated, gsm::CipheringModeComplete()); });
  InCall(t += 0.2, [this] {
    TransactionOpen = true;
    EmitL3(TL3Path::Dedicated,
           gsm::CcSetup(Cc(true), "4930" + std::to_string(1000000 + NetRng.Below(8999999))));
  });
  InCall(t += 0.2, [this] { EmitL3(TL3Path::Dedicated, gsm::CcCallConfirmed(Cc(false))); });
  if (fail) {
    ReleaseChannel(t + 0.3, RrAbnormalUnspecified, [this] {
      Record(TEventKind::CallSetupFailure, TCallDirection::Terminating, "released before alerting");
    });
    return;
  }
  MoveToTraffic(t += 0.3);
  InCall(t += 0.3, [this] {
    Phase = TSimCallPhase::Ringing;
    EmitL3(TL3Path::Dedicated, gsm::CcAlerting(Cc(false)));
    Record(TEventKind::CallSetup, TCallDirection::Terminating);
  });
  InCall(t + Opts.IncomingRingS, [this] { NetworkRelease(); });
}

void THandsetSimulator::AnswerCall() {
  if (Phase != TSimCallPhase::Ringing) return;
  ++CallGeneration;  // the network's give-up no longer applies
  Phase = TSimCallPhase::Active;
  double t = Clock + 0.1;
  InCall(t, [this] {
    EmitL3(TL3Path::Dedicated, gsm::CcConnect(Cc(false)));
    Record(TEventKind::CallConnect, TCallDirection::Terminating);
  });
  InCall(t + 0.3, [this] { EmitL3(TL3Path::Dedicated, gsm::CcConnectAcknowledge(Cc(true))); });
}

void THandsetSimulator::MobileRelease() {
  if (Phase == TSimCallPhase::Idle || Phase == TSimCallPhase::Clearing) return;
  ++CallGeneration;
  const bool open = TransactionOpen;
  // Hung up before the call set up: the attempt failed.
  const bool setUp = Phase != TSimCallPhase::Setup;
  const TEventKind kind = setUp ? TEventKind::CallEnd : TEventKind::CallSetupFailure;
  const std::string cause = setUp ? "" : "released by the caller before set-up";
  Phase = TSimCallPhase::Clearing;
  double t = Clock + 0.1;
  if (open) {
    // A clearing ends with RELEASE COMPLETE; an attempt fails at its DISCONNECT.
    InCall(t, [this, setUp, kind, cause] {
      EmitL3(TL3Path::Dedicated, gsm::CcDisconnect(Cc(false), CauseNormalClearing));
      if (!setUp) Record(kind, CallDirection(), cause);
    });
    InCall(t += 0.2, [this] { EmitL3(TL3Path::Dedicated, gsm::CcRelease(Cc(true))); });
    InCall(t += 0.1, [this, setUp] {
      EmitL3(TL3Path::Dedicated, gsm::CcReleaseComplete(Cc(false)));
      if (setUp) Record(TEventKind::CallEnd, CallDirection());
    });
    ReleaseChannel(t + 0.2);
  } else {
    ReleaseChannel(t + 0.2, 0, [this, kind, cause] { Record(kind, CallDirection(), cause); });
  }
}

void THandsetSimulator::NetworkRelease() {
  ++CallGeneration;
  Phase = TSimCallPhase::Clearing;
  double t = Clock;
  InCall(t, [this] { EmitL3(TL3Path::Dedicated, gsm::CcDisconnect(Cc(true), CauseNoAnswer)); });
  InCall(t += 0.2, [this] { EmitL3(TL3Path::Dedicated, gsm::CcRelease(Cc(false))); });
  InCall(t += 0.1, [this] {
    EmitL3(TL3Path::Dedicated, gsm::CcReleaseComplete(Cc(true)));
    Record(TEventKind::CallEnd, CallDirection(), "not answered");
  });
  ReleaseChannel(t + 0.2);
}

void THandsetSimulator::Handover(size_t target) {
  if (HandoverPending || Clock < NoHandoverUntil) return;
  HandoverPending = true;
  const TDriveCell& c = RadioModel->Cell(target);
  const size_t source = RadioModel->Serving();
  const bool fail = Fault(Opts.Faults.HandoverFailure);
  auto record = [this, source, target](TEventKind kind, std::string cause = {}) {
    TSimTruthEvent& e = Record(kind, TCallDirection::None, std::move(cause));
    e.Cell = CellKey(source);
    e.Target = CellKey(target);
    e.TargetArfcn = RadioModel->Cell(target).Arfcn;
    e.TargetBsic = RadioModel->Cell(target).Bsic;
  };
  InCall(Clock, [this, c, record, old = Channel, fail] {
    Channel = {true, 0, static_cast<uint8_t>(1 + NetRng.Below(7)), static_cast<uint8_t>(c.Bsic & 7),
               c.Arfcn};
    EmitL3(TL3Path::Dedicated, gsm::HandoverCommand(c.Arfcn, c.Bsic, Channel,
                                                    static_cast<uint8_t>(NetRng.Below(256)), 5));
    if (fail) Channel = old;  // the mobile never leaves it
    record(TEventKind::HandoverAttempt);
  });
  if (fail) {
    // The new channel could not be reached: back on the old one.
    InCall(Clock + 0.6, [this, record] {
      HandoverPending = false;
      NoHandoverUntil = Clock + HandoverBackoffS;
      EmitL3(TL3Path::Dedicated, gsm::HandoverFailure(RrAbnormalTimerExpired));
      record(TEventKind::HandoverFailure, "handover failure");
    });
    return;
  }
  InCall(Clock + 0.15, [this, target, record] {
    RadioModel->SetServing(target);
    HandoverPending = false;
    ++Counters.Handovers;
    EmitL3(TL3Path::Dedicated, gsm::HandoverComplete());
    record(TEventKind::HandoverSuccess);
  });
}

void THandsetSimulator::LocationUpdate(uint16_t oldLac) {
  if (Connection != TConnection::None || Phase != TSimCallPhase::Idle || Updating || Muted())
    return;
  Updating = true;
  const bool reject = Fault(Opts.Faults.LocationUpdateReject);
  ++CallGeneration;
  TGsmCellIdentity old = CellIdentity(RadioModel->Serving());
  old.Lac = oldLac;
  double t = Clock + 0.3;
  Establish(t, CauseLocationUpdate, TConnection::Signalling);
  InCall(t += 0.15, [this, old] {
    EmitL3(TL3Path::Dedicated, gsm::LocationUpdatingRequest(old, Tmsi, NextSequence()));
    Record(TEventKind::LocationUpdateRequest);
  });
  InCall(t += 0.2, [this] {
    uint8_t rand[16];
    for (uint8_t& b : rand) b = static_cast<uint8_t>(NetRng.Below(256));
    EmitL3(TL3Path::Dedicated, gsm::AuthenticationRequest(rand));
  });
  InCall(t += 0.2, [this] {
    EmitL3(TL3Path::Dedicated,
           gsm::AuthenticationResponse(static_cast<uint32_t>(NetRng.Next()), NextSequence()));
  });
  InCall(t += 0.2, [this] { EmitL3(TL3Path::Dedicated, gsm::CipheringModeCommand()); });
  InCall(t += 0.1, [this] { EmitL3(TL3Path::Dedicated, gsm::CipheringModeComplete()); });
  InCall(t += 0.2, [this, reject] {
    if (reject) {
      EmitL3(TL3Path::Dedicated, gsm::LocationUpdatingReject(MmNetworkFailure));
      Record(TEventKind::LocationUpdateReject, TCallDirection::None, "network failure");
      return;
    }
    EmitL3(TL3Path::Dedicated, gsm::LocationUpdatingAccept(CellIdentity(RadioModel->Serving())));
    Record(TEventKind::LocationUpdateAccept);
  });
  ReleaseChannel(t + 0.2);
}

// --- faults and what they leave -------------------------------------------

void THandsetSimulator::DropCall() {
  ++CallGeneration;
  const TCallDirection direction = CallDirection();
  if (FaultNet.Chance(Opts.Faults.SilentDropShare)) {
    // The radio link is lost: the handset goes quiet, then camps again and
    // its idle reports resume, with no release on the line.
    DroppedDirection = direction;
    DroppedCell = CellKey(RadioModel->Serving());
    DropShowsOnIdle = true;
    MutedUntil = Clock + FaultNet.Range(SilentDropMinS, SilentDropMaxS);
    Connection = TConnection::None;
    Phase = TSimCallPhase::Idle;
    TransactionOpen = false;
    HandoverPending = false;
    SystemInfoStep = 2;
    At(MutedUntil, [this] {
      OwedReports = std::max(OwedReports, 1);
      ScheduleReport();
    });
    return;
  }
  Phase = TSimCallPhase::Clearing;
  const uint8_t cause = FaultNet.Chance(0.5) ? RrAbnormalUnspecified : RrAbnormalTimerExpired;
  ReleaseChannel(Clock, cause, [this, direction] {
    Record(TEventKind::CallDrop, direction, "abnormal channel release");
  });
}

void THandsetSimulator::AfterIdleLine() {
  IdleSinceChannel = true;
  if (DropShowsOnIdle) {
    DropShowsOnIdle = false;
    TSimTruthEvent& e = Record(TEventKind::CallDrop, DroppedDirection, "idle reports resumed");
    e.Cell = DroppedCell;
  }
  if (!ReselectionShown) {
    ShowReselection();
    // Camped on a new cell, the handset reads its broadcast before anything else.
    At(Clock + 0.05, [this] {
      if (Connection == TConnection::None)
        EmitL3(TL3Path::Bcch, gsm::SystemInformation3(CellIdentity(RadioModel->Serving())));
    });
  }
  if (UpdateAfterIdle >= 0) {
    const auto oldLac = static_cast<uint16_t>(UpdateAfterIdle);
    UpdateAfterIdle = -1;
    if (CellIdentity(RadioModel->Serving()).Lac != oldLac) LocationUpdate(oldLac);
  }
}

void THandsetSimulator::ShowReselection() {
  if (ReselectionShown) return;
  ReselectionShown = true;
  const size_t now = RadioModel->Serving();
  if (now == ReselectedFrom) return;  // back where it was: nothing to see
  TSimTruthEvent& e = Record(TEventKind::Reselection);
  e.Cell = CellKey(ReselectedFrom);
  e.Target = CellKey(now);
  e.TargetArfcn = RadioModel->Cell(now).Arfcn;
  e.TargetBsic = RadioModel->Cell(now).Bsic;
}

TSimTruthEvent& THandsetSimulator::Record(TEventKind kind, TCallDirection direction,
                                          std::string cause) {
  TSimTruthEvent e;
  e.Kind = kind;
  e.TimeS = Clock;
  e.Direction = direction;
  e.Cell = CellKey(RadioModel->Serving());
  e.Cause = std::move(cause);
  TruthEvents.push_back(std::move(e));
  return TruthEvents.back();
}

// --- cells ----------------------------------------------------------------

TCellKey THandsetSimulator::CellKey(size_t cell) const {
  const TGsmCellIdentity id = CellIdentity(cell);
  return {id.Mcc, id.Mnc, id.Lac, id.CellId, true};
}

TGsmCellIdentity THandsetSimulator::CellIdentity(size_t cell) const {
  const TDriveCell& c = RadioModel->Cell(cell);
  TGsmCellIdentity id;
  id.Lac = c.Lac;
  id.CellId = c.CellId;
  id.Arfcn = c.Arfcn;
  id.Bsic = c.Bsic;
  return id;
}

std::vector<uint16_t> THandsetSimulator::NeighbourArfcns(size_t cell) const {
  // The twelve cells nearest to the serving one, as the operator planned them.
  const auto& cells = DriveModel->Cells();
  TDrivePoint here;
  here.Longitude = cells[cell].Longitude;
  here.Latitude = cells[cell].Latitude;
  std::vector<std::pair<double, size_t>> byDistance;
  for (size_t i = 0; i < cells.size(); ++i)
    if (i != cell) byDistance.push_back({DriveModel->DistanceM(here, cells[i]), i});
  std::sort(byDistance.begin(), byDistance.end());
  std::vector<uint16_t> arfcns;
  for (size_t i = 0; i < byDistance.size() && i < 12; ++i)
    arfcns.push_back(cells[byDistance[i].second].Arfcn);
  std::sort(arfcns.begin(), arfcns.end());
  arfcns.erase(std::unique(arfcns.begin(), arfcns.end()), arfcns.end());
  return arfcns;
}
