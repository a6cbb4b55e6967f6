#include "refhost/analysis/ServingTracker.h"

namespace {

constexpr uint16_t Si3 = 0x61B, Si4 = 0x61C, Si6 = 0x61E, ImmediateAssignment = 0x63F;
// After an identity change, the reports that may still show the old channel.
constexpr int ReportsToConfirm = 4;

TCellKey KeyOf(const TGsmCellInfo& info) {
  TCellKey k;
  k.Mcc = info.Mcc;
  k.Mnc = info.Mnc;
  k.Lac = info.Lac;
  k.CellId = info.CellId;
  k.Valid = true;
  return k;
}

}  // namespace

TCellKey TServingTracker::IdentityOf(uint16_t arfcn, uint8_t bsic) const {
  const auto it = Learned.find({arfcn, bsic});
  return it != Learned.end() ? it->second : TCellKey{};
}

void TServingTracker::Move(uint16_t arfcn, uint8_t bsic) {
  Serving.Arfcn = arfcn;
  Serving.Bsic = bsic;
  Serving.Key = IdentityOf(arfcn, bsic);
  IdentityExpected = true;
}

void TServingTracker::HandedOver(uint16_t arfcn, uint8_t bsic) {
  Move(arfcn, bsic);
  ChannelExpected = 0;
}

void TServingTracker::LineLost() {
  Resync = true;
  IdentityExpected = true;
  ChannelExpected = 0;
}

void TServingTracker::See(const THostRecord& r, bool callBusy, const TEventContext& at, TEventList& events) {
  if (r.Idle) Report(r.Idle->Arfcn, r.Idle->Bsic, true, callBusy, at, events);
  if (r.DedicatedReport) Report(r.DedicatedReport->Arfcn, r.DedicatedReport->Bsic, false, callBusy, at, events);
  if (r.MessageId == ImmediateAssignment) Dedicated = true;
  const bool broadcast = r.MessageId == Si3 || r.MessageId == Si4;
  // The BCCH tells of the cell camped on in idle mode, the SACCH of the one
  // holding the channel.
  if ((broadcast && !Dedicated) || (r.MessageId == Si6 && Dedicated)) {
    TGsmCellInfo info;
    if (ReadSystemInformation(r.Layer3.data(), r.Layer3.size(), info)) Identity(info, callBusy, at, events);
  }
}

void TServingTracker::Report(uint16_t arfcn, uint8_t bsic, bool idle, bool callBusy, const TEventContext& at,
                             TEventList& events) {
  Dedicated = !idle;
  if (arfcn == Serving.Arfcn && bsic == Serving.Bsic) {
    if (ChannelExpected > 0) --ChannelExpected;
    Resync = false;
    return;
  }
  // A report after a gap, and any change in dedicated mode (handovers are
  // counted from their messages), is no reselection. Back in idle mode after
  // a channel, a cell other than the channel's is one: the handset chose it.
  const bool quiet = Resync || !idle || callBusy || Serving.Arfcn == 0;
  Resync = false;
  if (!quiet && ChannelExpected > 0) {
    // The identity change was counted; this is the same move seen in the report.
    ChannelExpected = 0;
    Serving.Arfcn = arfcn;
    Serving.Bsic = bsic;
    if (Serving.Key.Valid) Learned[{arfcn, bsic}] = Serving.Key;
    return;
  }
  if (!quiet) {
    TDriveEvent e = MakeEvent(TEventKind::Reselection, at, Serving);
    e.TargetArfcn = arfcn;
    e.TargetBsic = bsic;
    e.Target = IdentityOf(arfcn, bsic);
    e.Cause = "the idle report names a new serving cell";
    events.push_back(e);
  }
  Move(arfcn, bsic);
}

void TServingTracker::Identity(const TGsmCellInfo& info, bool callBusy, const TEventContext& at,
                               TEventList& events) {
  const bool mayReselect = Serving.Key.Valid && !IdentityExpected && !Dedicated && !callBusy && !Resync;
  if (!info.HasCellId) {
    // Type 4 carries the location area only: enough to see a new cell.
    const bool sameArea = Serving.Key.Mcc == info.Mcc && Serving.Key.Mnc == info.Mnc && Serving.Key.Lac == info.Lac;
    if (!mayReselect || sameArea) return;
    TDriveEvent e = MakeEvent(TEventKind::Reselection, at, Serving);
    e.Cause = "system information names a new location area";
    events.push_back(e);
    Serving.Key = TCellKey{};
    IdentityExpected = true;
    ChannelExpected = ReportsToConfirm;
    return;
  }
  const TCellKey key = KeyOf(info);
  if (mayReselect && !(key == Serving.Key)) {
    TDriveEvent e = MakeEvent(TEventKind::Reselection, at, Serving);
    e.Target = key;
    e.Cause = "system information names a new serving cell";
    events.push_back(e);
    Serving.Key = key;
    ChannelExpected = ReportsToConfirm;
    return;
  }
  Serving.Key = key;
  IdentityExpected = false;
  if (ChannelExpected == 0 && Serving.Arfcn != 0) Learned[{Serving.Arfcn, Serving.Bsic}] = key;
}
