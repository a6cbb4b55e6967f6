// A simulated GSM test handset: what a real one would send on its serial
// line, driven by the command bytes the plug-in writes.
//
// It answers the connect request, splits the commands (CommandSplitter.h),
// keeps the report switches the commands set, answers each report refresh
// with one report of the mode it is in (IDLE in idle mode, DED in dedicated
// mode), sends the network's and its own layer-3 messages as the simulated
// network runs (system information while BCCH is on, call set-up and
// release, handovers, location updates), and moves its values along a
// seeded drive (SimulatedDrive.h).
//
// Pure and deterministic: no I/O, no clock, no threads. The caller passes
// the time (seconds since the start, never decreasing) with every call; the
// same options and the same calls with the same times give the same bytes.
// One instance must not be used from two threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "refhost/core/DriveEvents.h"
#include "refhost/gsm/GsmBuild.h"
#include "refhost/sim/CommandSplitter.h"
#include "refhost/sim/SimRadio.h"
#include "refhost/sim/SimRandom.h"
#include "refhost/sim/SimulatedDrive.h"

// Faults of the simulated network, each drawn at its own rate from a
// generator of its own, so a seed makes the same faults and all rates at 0
// leave the fault-free network's bytes as they were.
struct TSimFaultRates {
  double SetupFailure = 0;          // chance that a call attempt never sets up
  double DropsPerMinute = 0;        // chance per minute of a set-up call that it drops
  double SilentDropShare = 0.5;     // of the drops: the handset goes quiet, no release seen
  double HandoverFailure = 0;       // chance that a handover fails (the mobile stays)
  double LocationUpdateReject = 0;  // chance that the network rejects a location update
};

// One event as the simulated network made it, at the time of the line that
// shows it: what an analysis of the session must find.
struct TSimTruthEvent {
  TEventKind Kind = TEventKind::CallAttempt;
  double TimeS = 0;
  TCallDirection Direction = TCallDirection::None;
  TCellKey Cell;  // serving cell; the source of a handover or reselection
  TCellKey Target;  // the handover's or reselection's new cell
  uint16_t TargetArfcn = 0;
  uint8_t TargetBsic = 0;
  std::string Cause;
};

struct TSimulatorOptions {
  uint64_t Seed = 1;
  TDriveOptions Drive;

  // Fault switches.
  double NoiseRate = 0;      // chance that a sent byte has one bit flipped
  double GarbageEveryS = 0;  // > 0: a burst of garbage bytes and CR LF about this often
  double SilenceAtS = -1;    // >= 0: send nothing from this time ...
  double SilenceForS = 0;    // ... for this long
  bool NoAnswer = false;     // never answer the connect request
  double FloodBaud = 0;      // > 0: IDLE reports back to back at this line rate, and
                             // nothing else, regardless of polls

  // Behaviour of the simulated network.
  double ReportIntervalS = 0.48;   // reports no faster than one a SACCH period
  double SystemInfoEveryS = 2.0;   // one system information message this often
  double IncomingCallEveryS = 90;  // the network offers a call about this often; 0 never
  double IncomingRingS = 30;       // and gives up when it is not answered by then
  TSimFaultRates Faults;
};

enum class TSimCallPhase : uint8_t { Idle, Setup, Alerting, Active, Ringing, Clearing };

struct TSimStats {
  int64_t BytesSent = 0;
  int64_t LinesSent = 0;    // lines ending in CR LF, garbage bursts included
  int64_t ReportsSent = 0;  // IDLE and DED lines
  int64_t Layer3Sent = 0;
  int64_t Polls = 0;  // report refreshes recognised
  int64_t BitsFlipped = 0;
  int64_t GarbageBursts = 0;
  int64_t LinesSilenced = 0;  // dropped while silent
  int64_t Handovers = 0;
  int64_t Reselections = 0;
  int64_t CallsOffered = 0;
};

class THandsetSimulator {
 public:
  // Throws std::bad_alloc only.
  explicit THandsetSimulator(const TSimulatorOptions& options);
  ~THandsetSimulator();
  THandsetSimulator(const THandsetSimulator&) = delete;
  THandsetSimulator& operator=(const THandsetSimulator&) = delete;

  // Bytes the host wrote, received at `now`.
  void Receive(const uint8_t* data, size_t count, double now);
  // Bytes the handset has sent by `now`, since the last call; the caller
  // owns the returned vector.
  std::vector<uint8_t> Transmit(double now);
  // When the simulator next has something to do on its own; calling
  // Transmit before then returns nothing new. +inf when nothing is planned.
  double NextDue() const;

  // The commands recognised so far, in arrival order.
  const std::vector<TSimCommand>& Commands() const { return Recognised; }
  const TSimStats& Stats() const { return Counters; }
  int64_t SkippedInputBytes() const { return Splitter.SkippedBytes(); }
  TSimCallPhase CallPhase() const { return Phase; }
  bool Dedicated() const { return Connection != TConnection::None; }
  const TSimulatedDrive& Drive() const { return *DriveModel; }
  const TSimRadio& Radio() const { return *RadioModel; }
  // The events made so far, in time order.
  const std::vector<TSimTruthEvent>& Truth() const { return TruthEvents; }

 private:
  enum class TConnection : uint8_t { None, Signalling, Traffic };
  enum class TL3Path : uint8_t { Bcch, ImmediateAssignment, Paging, Dedicated };
  struct TEvent {
    double Due;
    uint64_t Order;
    std::function<void()> Run;
  };
  struct TLater {
    bool operator()(const TEvent& a, const TEvent& b) const {
      return a.Due != b.Due ? a.Due > b.Due : a.Order > b.Order;
    }
  };

  void Advance(double now);
  void At(double due, std::function<void()> run);
  // Runs `run` at `due` unless the call it belongs to has ended by then.
  void InCall(double due, std::function<void()> run);
  void Apply(const TSimCommand& command);
  void Poll();
  void ScheduleReport();

  void Emit(const std::string& line);
  // False when the message was not sent (its reports off, or silent).
  bool EmitL3(TL3Path path, const TGsmBytes& message);
  void EmitGarbage();

  void RadioTick();
  void SystemInfoTick();
  void SacchTick();
  void FloodTick();
  void OfferCall();

  void StartMoCall(const std::string& number);
  void AnswerCall();
  void MobileRelease();
  void NetworkRelease();
  void Establish(double at, uint8_t cause, TConnection kind);
  // `shown` runs as the CHANNEL RELEASE goes out (to record what it ends).
  void ReleaseChannel(double at, uint8_t rrCause = 0, std::function<void()> shown = {});
  void MoveToTraffic(double at);
  void Handover(size_t target);
  void LocationUpdate(uint16_t oldLac);
  void DropCall();
  void SilentDrop();
  void AfterIdleLine();

  bool Fault(double chance) { return chance > 0 && FaultNet.Chance(chance); }
  bool Muted() const { return Clock < MutedUntil; }
  TSimTruthEvent& Record(TEventKind kind, TCallDirection direction = TCallDirection::None,
                         std::string cause = {});
  void ShowReselection();
  TCellKey CellKey(size_t cell) const;
  TCallDirection CallDirection() const {
    return Transaction.Transaction.MobileOriginated ? TCallDirection::Originating
                                                    : TCallDirection::Terminating;
  }

  TGsmCellIdentity CellIdentity(size_t cell) const;
  std::vector<uint16_t> NeighbourArfcns(size_t cell) const;
  gsm::TCcHeader Cc(bool fromNetwork);
  uint8_t NextSequence() { return static_cast<uint8_t>(MsSequence++ & 3); }

  TSimulatorOptions Opts;
  std::unique_ptr<TSimulatedDrive> DriveModel;
  std::unique_ptr<TSimRadio> RadioModel;
  TSimRandom NetRng;
  TSimRandom FaultRng;
  TSimRandom FaultNet;  // the network's faults only
  TSimCommandSplitter Splitter;
  std::vector<TSimCommand> Recognised;
  std::vector<int> Recent;  // last catalogue indices, for the sequences
  std::priority_queue<TEvent, std::vector<TEvent>, TLater> Events;
  uint64_t EventOrder = 0;
  double Clock = 0;
  std::vector<uint8_t> Out;
  TSimStats Counters;

  // Report switches the commands set.
  bool Heard = false;   // any command or the connect request came in
  bool Active = false;  // a catalogue command came in: reports may flow
  bool IdleReports = true, DedicatedReports = true, Layer3 = true, Bcch = true;
  bool ImmediateAssignments = true, Paging = true;

  int OwedReports = 0;
  bool ReportPlanned = false;
  double LastReport = -1e9;
  int SystemInfoStep = 0;
  int SacchStep = 0;

  TConnection Connection = TConnection::None;
  TSimCallPhase Phase = TSimCallPhase::Idle;
  uint64_t CallGeneration = 0;
  bool TransactionOpen = false;
  gsm::TCcHeader Transaction;  // FromNetwork/Sequence filled per message
  unsigned MsSequence = 0;
  bool HandoverPending = false;
  bool Updating = false;  // a location update holds the channel
  std::string PendingDial;
  uint32_t Tmsi = 0;
  TGsmAssignedChannel Channel;

  std::vector<TSimTruthEvent> TruthEvents;
  double MutedUntil = -1;        // a silent drop: nothing goes out before this
  bool DropShowsOnIdle = false;  // the silent drop shows when idle reports resume
  TCallDirection DroppedDirection = TCallDirection::None;
  TCellKey DroppedCell;
  bool ReselectionShown = true;  // the last reselection went out in an idle report
  bool IdleSinceChannel = true;  // an idle report went out since the last channel
  size_t ReselectedFrom = 0;
  int UpdateAfterIdle = -1;  // old LAC of a location update waiting for that report
  double NoHandoverUntil = -1;  // after a failed handover, the network waits
};
