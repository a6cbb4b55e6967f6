#include "refhost/output/EventsCsvWriter.h"

#include <charconv>
#include <cmath>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/TextSafety.h"

namespace {

const char* const Columns[] = {"time",  "kind",  "direction",    "setup_time_s", "longitude",   "latitude",
                               "mcc",   "mnc",   "lac",          "ci",           "arfcn",       "bsic",
                               "target_arfcn", "target_bsic", "cause", "first_record", "last_record"};

void Separate(std::string& row) {
  if (!row.empty()) row += ',';
}

void Number(std::string& row, int64_t v) {
  Separate(row);
  char d[24];
  row.append(d, static_cast<size_t>(std::to_chars(d, d + sizeof d, v).ptr - d));
}

void Fixed(std::string& row, double v, int digits) {
  Separate(row);
  if (!std::isfinite(v) || v == -9999.0) return;
  char d[48];
  row.append(d, static_cast<size_t>(std::to_chars(d, d + sizeof d, v, std::chars_format::fixed, digits).ptr - d));
}

void Empty(std::string& row, int count) {
  for (int i = 0; i < count; ++i) row += ',';
}

}  // namespace

TEventsCsvWriter::TEventsCsvWriter(const std::string& path, TFlushPolicy policy) : Out(path, policy) {}
TEventsCsvWriter::TEventsCsvWriter(std::ostream& stream, TFlushPolicy policy) : Out(stream, policy) {}

std::string TEventsCsvWriter::HeaderRow() {
  std::string line;
  for (const char* column : Columns) line += (line.empty() ? "" : ",") + std::string(column);
  return line;
}

void TEventsCsvWriter::WriteHeaderOnce() {
  if (HeaderWritten) return;
  HeaderWritten = true;
  Out.Write(HeaderRow() + "\r\n");
}

void TEventsCsvWriter::OnStart(const TSessionSettings& settings) {
  UtcOffsetMinutes = settings.UtcOffsetMinutes;
  WriteHeaderOnce();
}

void TEventsCsvWriter::OnEvent(const TDriveEvent& e) {
  WriteHeaderOnce();
  Row.clear();
  AppendIsoTime(Row, e.Time, UtcOffsetMinutes);
  Row += ',';
  Row += EventKindName(e.Kind);
  Row += ',';
  Row += CallDirectionName(e.Direction);
  Fixed(Row, e.SetupTimeS, 3);
  const bool positioned = e.Longitude != -9999.0 && e.Latitude != -9999.0;
  Fixed(Row, positioned ? e.Longitude : NAN, 7);
  Fixed(Row, positioned ? e.Latitude : NAN, 7);
  if (const TCellKey& k = e.Cell.Key; k.Valid) {
    for (int64_t v : {int64_t{k.Mcc}, int64_t{k.Mnc}, int64_t{k.Lac}, int64_t{k.CellId}}) Number(Row, v);
  } else {
    Empty(Row, 4);
  }
  // ARFCN 0 is "not told yet": the channel columns stay empty then.
  if (e.Cell.Arfcn != 0) {
    Number(Row, e.Cell.Arfcn);
    Number(Row, e.Cell.Bsic);
  } else {
    Empty(Row, 2);
  }
  if (e.TargetArfcn != 0) {
    Number(Row, e.TargetArfcn);
    Number(Row, e.TargetBsic);
  } else {
    Empty(Row, 2);
  }
  Row += ',';
  AppendCsvCell(Row, e.Cause);
  if (e.FirstRecord >= 0) Number(Row, e.FirstRecord);
  else Empty(Row, 1);
  if (e.LastRecord >= 0) Number(Row, e.LastRecord);
  else Empty(Row, 1);
  Row += "\r\n";
  Out.Write(Row);
}

void TEventsCsvWriter::OnFinish(const TSessionCounters&) {
  WriteHeaderOnce();
  Out.Flush();
}
