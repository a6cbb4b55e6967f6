#include "refhost/analysis/CallTracker.h"

#include "refhost/gsm/SystemInfo.h"

namespace {

// Message identifiers: protocol discriminator << 8 | type (sequence bits cleared).
enum : uint16_t {
  CcAlerting = 0x301,
  CcSetup = 0x305,
  CcConnect = 0x307,
  CcDisconnect = 0x325,
  CcReleaseComplete = 0x32A,
  CcRelease = 0x32D,
  MmLuAccept = 0x502,
  MmLuReject = 0x504,
  MmLuRequest = 0x508,
  MmCmServiceReject = 0x522,
  MmCmServiceAbort = 0x523,
  MmCmServiceRequest = 0x524,
  RrChannelRelease = 0x60D,
  RrPagingResponse = 0x627,
  RrHandoverFailure = 0x628,
  RrHandoverCommand = 0x62B,
  RrHandoverComplete = 0x62C,
};

constexpr uint8_t ServiceCall = 1, ServiceEmergencyCall = 2;

}  // namespace

TDriveEvent TCallTracker::CallEvent(TEventKind kind, const TServingCell& cell, const TEventContext& at) const {
  TDriveEvent e = MakeEvent(kind, at, cell);
  e.Direction = Direction;
  if (Started.Record >= 0) e.FirstRecord = Started.Record;
  return e;
}

void TCallTracker::Attempt(TCallDirection direction, const TServingTracker& serving, const TEventContext& at,
                           TEventList& events) {
  Direction = direction;
  Phase = TPhase::Attempt;
  Connected = false;
  TDriveEvent e = CallEvent(TEventKind::CallAttempt, serving.Cell(), Started);
  e.LastRecord = at.Record;
  events.push_back(e);
}

void TCallTracker::Ended(const TServingCell& cell, const TEventContext& at, const std::string& why,
                         TEventList& events) {
  switch (Phase) {
    case TPhase::None: break;  // no call was under way
    case TPhase::Attempt: {
      TDriveEvent e = CallEvent(TEventKind::CallSetupFailure, cell, at);
      e.Cause = why;
      events.push_back(e);
      break;
    }
    case TPhase::SetUp: {
      TDriveEvent e = CallEvent(TEventKind::CallDrop, cell, at);
      e.Cause = why;
      events.push_back(e);
      break;
    }
    case TPhase::Clearing: {
      TDriveEvent e = CallEvent(TEventKind::CallEnd, cell, at);
      e.Cause = "cleared";
      events.push_back(e);
      break;
    }
  }
  Phase = TPhase::None;
  Direction = TCallDirection::None;
  Started = TEventContext{};
  OnChannel = false;
}

void TCallTracker::HandoverEnded(bool success, const std::string& why, TServingTracker& serving,
                                 const TEventContext& at, TEventList& events) {
  if (!HandoverPending) return;
  HandoverPending = false;
  TDriveEvent e = Handover;
  e.Kind = success ? TEventKind::HandoverSuccess : TEventKind::HandoverFailure;
  e.Time = at.Time;
  e.Longitude = at.Longitude;
  e.Latitude = at.Latitude;
  e.LastRecord = at.Record;
  e.Cause = why;
  events.push_back(e);
  if (success) serving.HandedOver(e.TargetArfcn, e.TargetBsic);
}

void TCallTracker::LineLost(const TServingTracker& serving, const TEventContext& at, TEventList& events) {
  TServingTracker unchanged = serving;  // a failed handover leaves the cell as it was
  if (Phase == TPhase::SetUp || Phase == TPhase::Attempt) HandoverEnded(false, "line lost", unchanged, at, events);
  HandoverPending = false;
  Ended(serving.Cell(), at, "line lost", events);
}

void TCallTracker::See(const THostRecord& r, TServingTracker& serving, const TEventContext& at, TEventList& events) {
  const uint8_t* l3 = r.Layer3.data();
  const size_t n = r.Layer3.size();
  const TServingCell& cell = serving.Cell();
  if (r.Dedicated || r.DedicatedReport) OnChannel = true;
  if (r.Idle && (OnChannel || Phase == TPhase::None)) {
    // Idle reports again: the handset left the channel, answered or not.
    if (Phase == TPhase::SetUp || Phase == TPhase::Attempt) HandoverEnded(false, "idle reports resumed", serving, at, events);
    HandoverPending = false;
    Ended(cell, at, "idle reports resumed", events);
    OnChannel = false;
    return;
  }
  switch (r.MessageId) {
    case MmCmServiceRequest: {
      uint8_t service = 0;
      const bool call = ReadCmServiceType(l3, n, service) && (service == ServiceCall || service == ServiceEmergencyCall);
      if (call && Phase == TPhase::None) {
        Started = at;
        OnChannel = r.Dedicated;
        Attempt(TCallDirection::Originating, serving, at, events);
      }
      break;
    }
    case RrPagingResponse:
      if (Phase == TPhase::None) {
        Started = at;
        OnChannel = r.Dedicated;
        Attempt(TCallDirection::Terminating, serving, at, events);
      }
      break;
    case CcSetup:
      if (Phase == TPhase::None) {
        Started = at;
        OnChannel = r.Dedicated;
        Attempt(TCallDirection::Originating, serving, at, events);
      }
      break;
    case CcAlerting:
    case CcConnect:
      if (Phase == TPhase::Attempt) {
        TDriveEvent e = CallEvent(TEventKind::CallSetup, cell, at);
        e.SetupTimeS = SecondsBetween(Started.Time, at.Time);
        events.push_back(e);
        Phase = TPhase::SetUp;
      }
      if (r.MessageId == CcConnect && Phase == TPhase::SetUp && !Connected) {
        Connected = true;
        events.push_back(CallEvent(TEventKind::CallConnect, cell, at));
      }
      break;
    case CcDisconnect:
    case CcRelease:
      if (Phase == TPhase::SetUp) Phase = TPhase::Clearing;
      else if (Phase == TPhase::Attempt) Ended(cell, at, "call cleared before set-up", events);
      break;
    case CcReleaseComplete:
      if (Phase == TPhase::SetUp) Phase = TPhase::Clearing;
      Ended(cell, at, "call cleared before set-up", events);
      break;
    case MmCmServiceReject:
    case MmCmServiceAbort:
      if (Phase == TPhase::Attempt) {
        uint8_t cause = 0;
        Ended(cell, at,
              r.MessageId == MmCmServiceAbort ? "CM service aborted"
              : ReadMmRejectCause(l3, n, cause) ? "CM service rejected: " + MmCauseText(cause)
                                                : "CM service rejected",
              events);
      }
      break;
    case RrChannelRelease: {
      uint8_t cause = 0;
      const bool known = ReadRrCause(l3, n, cause);
      const std::string words = known ? RrCauseText(cause) : "cause unreadable";
      // A handover cut short by a drop failed; by a normal end it has no outcome.
      if (Phase == TPhase::SetUp || Phase == TPhase::Attempt) HandoverEnded(false, "channel released: " + words, serving, at, events);
      HandoverPending = false;
      if (Phase == TPhase::Attempt) Ended(cell, at, "channel released before set-up: " + words, events);
      else if (Phase == TPhase::SetUp)
        Ended(cell, at, (known && cause == 0 ? "channel released without call clearing: " : "abnormal channel release: ") + words,
              events);
      else Ended(cell, at, "", events);
      break;
    }
    case RrHandoverCommand: {
      uint16_t arfcn = 0;
      uint8_t bsic = 0;
      if (!ReadHandoverTarget(l3, n, arfcn, bsic)) break;
      HandoverEnded(false, "a new handover command came first", serving, at, events);
      Handover = MakeEvent(TEventKind::HandoverAttempt, at, cell);
      Handover.TargetArfcn = arfcn;
      Handover.TargetBsic = bsic;
      Handover.Target = serving.IdentityOf(arfcn, bsic);
      HandoverPending = true;
      events.push_back(Handover);
      break;
    }
    case RrHandoverComplete: HandoverEnded(true, "", serving, at, events); break;
    case RrHandoverFailure: {
      uint8_t cause = 0;
      HandoverEnded(false, ReadRrCause(l3, n, cause) ? "handover failure: " + RrCauseText(cause) : "handover failure",
                    serving, at, events);
      break;
    }
    case MmLuRequest: events.push_back(MakeEvent(TEventKind::LocationUpdateRequest, at, cell)); break;
    case MmLuAccept: events.push_back(MakeEvent(TEventKind::LocationUpdateAccept, at, cell)); break;
    case MmLuReject: {
      TDriveEvent e = MakeEvent(TEventKind::LocationUpdateReject, at, cell);
      uint8_t cause = 0;
      if (ReadMmRejectCause(l3, n, cause)) e.Cause = MmCauseText(cause);
      events.push_back(e);
      break;
    }
    default: break;
  }
}
