// Calls, handovers and location updates as the signalling tells them: one
// small state machine each, fed every record in order. Internal to the
// analysis; one session, one thread.
#pragma once

#include "refhost/analysis/EventContext.h"
#include "refhost/analysis/ServingTracker.h"

class TCallTracker {
 public:
  // Reads `record`; the events it decides are added to `events`. A
  // completed handover moves `serving` to the target.
  void See(const THostRecord& record, TServingTracker& serving, const TEventContext& at, TEventList& events);
  // The line was lost: whatever was under way ends without its answer.
  void LineLost(const TServingTracker& serving, const TEventContext& at, TEventList& events);
  // A call is being set up, held or cleared.
  bool Busy() const { return Phase != TPhase::None; }

 private:
  enum class TPhase : uint8_t {
    None,
    Attempt,   // attempt counted, not set up yet
    SetUp,     // ALERTING or CONNECT seen
    Clearing,  // DISCONNECT or RELEASE seen on a set-up call
  };

  void Attempt(TCallDirection direction, const TServingTracker& serving, const TEventContext& at, TEventList& events);
  // Ends the call, if any, on a release or a loss; `why` words it.
  void Ended(const TServingCell& cell, const TEventContext& at, const std::string& why, TEventList& events);
  TDriveEvent CallEvent(TEventKind kind, const TServingCell& cell, const TEventContext& at) const;
  void HandoverEnded(bool success, const std::string& why, TServingTracker& serving, const TEventContext& at,
                     TEventList& events);

  TPhase Phase = TPhase::None;
  TCallDirection Direction = TCallDirection::None;
  TEventContext Started;  // the attempt's (or paging response's) record
  bool Connected = false;
  // The handset reported from its channel since the attempt: only then do
  // idle reports mean it left the channel (one may still be on its way).
  bool OnChannel = false;
  bool HandoverPending = false;
  TDriveEvent Handover;  // the attempt, with its source cell and target
};
