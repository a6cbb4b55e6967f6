#include "refhost/sim/SimFiles.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "refhost/output/OutputFile.h"

namespace {

// The words the session outputs use for events (EventKindName); kept here
// so the simulator builds without the analysis, and checked against it by
// the test that plays a simulated session through the analysis.
const char* KindWord(TEventKind kind) {
  switch (kind) {
    case TEventKind::CallAttempt: return "call_attempt";
    case TEventKind::CallSetup: return "call_setup";
    case TEventKind::CallConnect: return "call_connect";
    case TEventKind::CallEnd: return "call_end";
    case TEventKind::CallDrop: return "call_drop";
    case TEventKind::CallSetupFailure: return "call_setup_failure";
    case TEventKind::HandoverAttempt: return "handover_attempt";
    case TEventKind::HandoverSuccess: return "handover_success";
    case TEventKind::HandoverFailure: return "handover_failure";
    case TEventKind::Reselection: return "reselection";
    case TEventKind::LocationUpdateRequest: return "location_update_request";
    case TEventKind::LocationUpdateAccept: return "location_update_accept";
    case TEventKind::LocationUpdateReject: return "location_update_reject";
    case TEventKind::LineGap: return "line_gap";
  }
  return "unknown";
}

}  // namespace

std::vector<TCellSite> SimulatedCellPlan(const TSimulatedDrive& drive, int64_t createdUnix) {
  const TGsmCellIdentity network;  // the simulated network's MCC and MNC
  const auto& cells = drive.Cells();
  std::vector<TCellSite> plan;
  for (size_t i = 0; i < cells.size(); ++i) {
    TDrivePoint at;
    at.Longitude = cells[i].Longitude;
    at.Latitude = cells[i].Latitude;
    double nearest = std::numeric_limits<double>::infinity();
    for (size_t j = 0; j < cells.size(); ++j)
      if (j != i) nearest = std::min(nearest, drive.DistanceM(at, cells[j]));
    TCellSite site;
    site.Radio = "GSM";
    site.Key = {network.Mcc, network.Mnc, cells[i].Lac, cells[i].CellId, true};
    site.Longitude = cells[i].Longitude;
    site.Latitude = cells[i].Latitude;
    site.RangeM = std::isfinite(nearest) ? std::round(nearest) : 1000;
    site.Samples = 1;
    site.CreatedUnix = site.UpdatedUnix = createdUnix;
    plan.push_back(std::move(site));
  }
  return plan;
}

nlohmann::json SimTruthJson(const TSimTruthEvent& e) {
  nlohmann::json j{{"kind", KindWord(e.Kind)}, {"t", std::round(e.TimeS * 1000) / 1000}};
  if (e.Direction != TCallDirection::None)
    j["direction"] = e.Direction == TCallDirection::Originating ? "mo" : "mt";
  j["mcc"] = e.Cell.Mcc;
  j["mnc"] = e.Cell.Mnc;
  j["lac"] = e.Cell.Lac;
  j["ci"] = e.Cell.CellId;
  if (e.TargetArfcn != 0)
    j["target"] = {{"arfcn", e.TargetArfcn}, {"bsic", e.TargetBsic}, {"mcc", e.Target.Mcc},
                   {"mnc", e.Target.Mnc},    {"lac", e.Target.Lac},  {"ci", e.Target.CellId}};
  if (!e.Cause.empty()) j["cause"] = e.Cause;
  return j;
}

void WriteSimTruth(const std::string& path, const std::vector<TSimTruthEvent>& events) {
  TOutputFile out(path, TFlushPolicy::WhenFull, TOutputMode::Replace);
  for (const TSimTruthEvent& e : events) out.Write(SimTruthJson(e).dump() + "\n");
  out.Commit();
}
