// The serving cell as the records tell it: channel and BSIC from the idle
// and dedicated reports, identity from system information 3 and 4 (idle,
// BCCH) and 6 (dedicated, SACCH). Finds reselections: the serving cell
// changing in idle mode. Internal to the analysis; one session, one thread.
#pragma once

#include <map>
#include <utility>

#include "refhost/analysis/EventContext.h"
#include "refhost/gsm/SystemInfo.h"

class TServingTracker {
 public:
  // Reads `record`; a reselection it shows is added to `events`. `callBusy`:
  // a call is being set up or held (no idle mode, whatever is reported).
  void See(const THostRecord& record, bool callBusy, const TEventContext& at, TEventList& events);
  // The handset moved to the cell a handover command named.
  void HandedOver(uint16_t arfcn, uint8_t bsic);
  // After a lost line nothing is known of what happened meanwhile: the next
  // report and identity set the cell without an event.
  void LineLost();

  const TServingCell& Cell() const { return Serving; }
  // The identity last read for a channel and BSIC; not valid when none was.
  TCellKey IdentityOf(uint16_t arfcn, uint8_t bsic) const;

 private:
  void Report(uint16_t arfcn, uint8_t bsic, bool idle, bool callBusy, const TEventContext& at, TEventList& events);
  void Identity(const TGsmCellInfo& info, bool callBusy, const TEventContext& at, TEventList& events);
  void Move(uint16_t arfcn, uint8_t bsic);

  TServingCell Serving;
  bool Dedicated = false;
  bool Resync = true;            // the next report sets the cell silently
  bool IdentityExpected = true;  // the next identity read belongs to a new cell already counted
  // Reports left in which a channel change belongs to an identity change
  // already counted (the new cell's system information came first).
  int ChannelExpected = 0;
  std::map<std::pair<uint16_t, uint8_t>, TCellKey> Learned;
};
