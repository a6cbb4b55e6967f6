#include "refhost/output/CsvWriter.h"

#include <cstdio>

#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/RecordValues.h"

namespace {

const char* const Columns[] = {
    "type",       "index",       "time1",       "time2",       "longitude",  "latitude",
    "position",   "call_state",  "message_id",  "message_name", "dedicated", "arfcn",
    "bsic",       "rxlev",       "c1",          "c2",          "rxlev_full", "rxlev_sub",
    "rxqual_full", "rxqual_sub", "timing_advance", "tx_power", "neighbours", "layer3",
    "note"};
enum TColumn : size_t {
  ColType, ColIndex, ColTime1, ColTime2, ColLongitude, ColLatitude, ColPosition, ColCallState, ColMessageId, ColMessageName, ColDedicated, ColArfcn, ColBsic, ColRxlev, ColC1, ColC2, ColRxlevFull, ColRxlevSub, ColRxqualFull, ColRxqualSub, ColTimingAdvance, ColTxPower, ColNeighbours, ColLayer3, ColNote,
  ColumnCount
};
static_assert(sizeof Columns / sizeof Columns[0] == ColumnCount);

// RFC 4180: quoted when it holds a comma, a quote or a line end.
std::string Quoted(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string q = "\"";
  for (char c : field) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + '"';
}

std::string Degrees(double value) {
  if (value == -9999.0) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%.7f", value);
  return text;
}

class TRow {
 public:
  TRow() : Fields(ColumnCount) {}
  void Set(TColumn column, std::string value) { Fields[column] = std::move(value); }
  template <typename T>
  void SetNumber(TColumn column, T value) { Set(column, std::to_string(value)); }
  std::string Text() const {
    std::string line;
    for (size_t i = 0; i < ColumnCount; ++i) line += (i ? "," : "") + Quoted(Fields[i]);
    return line;
  }

 private:
  std::vector<std::string> Fields;
};

}  // namespace

TCsvWriter::TCsvWriter(const std::string& path) : Out(path) {}
TCsvWriter::TCsvWriter(std::ostream& stream) : Out(stream) {}

std::string TCsvWriter::HeaderRow() {
  std::string line;
  for (size_t i = 0; i < ColumnCount; ++i) line += (i ? "," : "") + std::string(Columns[i]);
  return line;
}

void TCsvWriter::WriteHeaderOnce() {
  if (HeaderWritten) return;
  HeaderWritten = true;
  Out.Stream() << HeaderRow() << "\r\n";
}

void TCsvWriter::OnStart(const TSessionSettings& settings) {
  UtcOffsetMinutes = settings.UtcOffsetMinutes;
  WriteHeaderOnce();
  Out.Commit();
}

void TCsvWriter::OnRecord(const THostRecord& r) {
  WriteHeaderOnce();
  TRow row;
  row.Set(ColType, "record");
  row.SetNumber(ColIndex, r.Index);
  row.Set(ColTime1, FormatIsoTime(r.TimeStamp1, UtcOffsetMinutes));
  row.Set(ColTime2, FormatIsoTime(r.TimeStamp2, UtcOffsetMinutes));
  row.Set(ColLongitude, Degrees(r.Longitude));
  row.Set(ColLatitude, Degrees(r.Latitude));
  row.Set(ColPosition, PositionMethodName(r.Method));
  row.Set(ColCallState, CallStateName(r.CallState));
  if (r.MessageId != 0) {
    row.Set(ColMessageId, FormatMessageId(r.MessageId));
    row.Set(ColMessageName, LookupGsmMessage(r.MessageId).Name);
  }
  row.Set(ColDedicated, r.Dedicated ? "1" : "0");
  if (r.Idle) {
    const TIdleValues& v = *r.Idle;
    row.SetNumber(ColArfcn, v.Arfcn);
    row.SetNumber(ColBsic, v.Bsic);
    row.SetNumber(ColRxlev, v.RxLev);
    row.SetNumber(ColC1, v.C1);
    row.SetNumber(ColC2, v.C2);
    row.Set(ColNeighbours, FormatNeighbours(v.Neighbours));
  } else if (r.DedicatedReport) {
    const TDedicatedValues& v = *r.DedicatedReport;
    row.SetNumber(ColArfcn, v.Arfcn);
    row.SetNumber(ColBsic, v.Bsic);
    row.SetNumber(ColRxlevFull, v.RxLevFull);
    row.SetNumber(ColRxlevSub, v.RxLevSub);
    row.SetNumber(ColRxqualFull, v.RxQualFull);
    row.SetNumber(ColRxqualSub, v.RxQualSub);
    row.SetNumber(ColTimingAdvance, v.TimingAdvance);
    row.SetNumber(ColTxPower, v.TxPower);
    row.Set(ColNeighbours, FormatNeighbours(v.Neighbours));
  }
  row.Set(ColLayer3, ToHex(r.Layer3));
  Out.Stream() << row.Text() << "\r\n";
  Out.Commit();
}

void TCsvWriter::OnGap(const TSessionGap& gap) {
  WriteHeaderOnce();
  TRow row;
  row.Set(ColType, "gap");
  row.Set(ColTime1, FormatIsoTime(gap.From, UtcOffsetMinutes));
  row.Set(ColTime2, FormatIsoTime(gap.To, UtcOffsetMinutes));
  row.Set(ColNote, gap.Why);
  Out.Stream() << row.Text() << "\r\n";
  Out.Commit();
}
