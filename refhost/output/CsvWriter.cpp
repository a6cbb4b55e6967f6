#include "refhost/output/CsvWriter.h"

#include <charconv>
#include <cmath>

#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/RecordValues.h"
#include "refhost/output/TextSafety.h"

namespace {

const char* const Columns[] = {
    "type",       "index",       "time1",       "time2",       "longitude",  "latitude",
    "position",   "call_state",  "message_id",  "message_name", "dedicated", "arfcn",
    "bsic",       "rxlev",       "c1",          "c2",          "rxlev_full", "rxlev_sub",
    "rxqual_full", "rxqual_sub", "timing_advance", "tx_power", "neighbours", "layer3",
    "note",       "mcc",         "mnc",         "lac",         "ci"};
// Columns after the note: the serving cell's identity, as the analysis found it.
constexpr int CellColumns = 4;

// A row built field by field, in column order, into a reused string.
class TRowBuilder {
 public:
  explicit TRowBuilder(std::string& row) : Row(row) { Row.clear(); }
  std::string& Next() {
    if (Fields++) Row += ',';
    return Row;
  }
  void Text(std::string_view s) { Next() += s; }
  // Text from outside, and names: made safe for a spreadsheet (TextSafety.h).
  void Quoted(std::string_view s) { AppendCsvCell(Next(), s); }
  void Number(int64_t v) {
    char d[24];
    Next().append(d, static_cast<size_t>(std::to_chars(d, d + sizeof d, v).ptr - d));
  }
  // Empty without a position (a record marked "none" carries none).
  void Degrees(double v, bool positioned) {
    std::string& r = Next();
    if (!positioned || v == -9999.0 || !std::isfinite(v)) return;
    char d[40];
    r.append(d, static_cast<size_t>(std::to_chars(d, d + sizeof d, v, std::chars_format::fixed, 7).ptr - d));
  }
  void Time(TDays t, int32_t offset) { AppendIsoTime(Next(), t, offset); }
  void Empty(int count) {
    for (int i = 0; i < count; ++i) Next();
  }
  void Neighbours(const std::vector<TNeighbourCell>& cells) {
    std::string& r = Next();
    char d[8];
    const auto number = [&](unsigned v) { r.append(d, static_cast<size_t>(std::to_chars(d, d + sizeof d, v).ptr - d)); };
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i) r += ';';
      number(cells[i].Arfcn);
      r += ':';
      number(cells[i].Bsic);
      r += ':';
      number(cells[i].RxLev);
    }
  }
  void Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string& r = Next();
    for (uint8_t b : bytes) {
      r += digits[b >> 4];
      r += digits[b & 0xF];
    }
  }
  void End() { Row += "\r\n"; }
  int Count() const { return Fields; }

 private:
  std::string& Row;
  int Fields = 0;
};

constexpr int ColumnCount = sizeof Columns / sizeof Columns[0];

}  // namespace

TCsvWriter::TCsvWriter(const std::string& path, TFlushPolicy policy) : Out(path, policy) {}
TCsvWriter::TCsvWriter(std::ostream& stream, TFlushPolicy policy) : Out(stream, policy) {}

std::string TCsvWriter::HeaderRow() {
  std::string line;
  for (int i = 0; i < ColumnCount; ++i) line += (i ? "," : "") + std::string(Columns[i]);
  return line;
}

void TCsvWriter::WriteHeaderOnce() {
  if (HeaderWritten) return;
  HeaderWritten = true;
  Out.Write(HeaderRow() + "\r\n");
}

void TCsvWriter::OnStart(const TSessionSettings& settings) {
  UtcOffsetMinutes = settings.UtcOffsetMinutes;
  WriteHeaderOnce();
}

void TCsvWriter::OnRecord(const THostRecord& r) {
  WriteHeaderOnce();
  TRowBuilder row(Row);
  row.Text("record");
  row.Number(r.Index);
  row.Time(r.TimeStamp1, UtcOffsetMinutes);
  row.Time(r.TimeStamp2, UtcOffsetMinutes);
  const bool positioned = r.Method != TPositionMethod::None;
  row.Degrees(r.Longitude, positioned);
  row.Degrees(r.Latitude, positioned);
  row.Text(PositionMethodName(r.Method));
  row.Text(CallStateName(r.CallState));
  if (r.MessageId != 0) {
    row.Text(FormatMessageId(r.MessageId));
    row.Quoted(LookupGsmMessage(r.MessageId).Name);
  } else {
    row.Empty(2);
  }
  row.Text(r.Dedicated ? "1" : "0");
  if (r.Idle) {  // arfcn bsic rxlev c1 c2, six dedicated columns, neighbours
    const TIdleValues& v = *r.Idle;
    for (int64_t n : {int64_t{v.Arfcn}, int64_t{v.Bsic}, int64_t{v.RxLev}, int64_t{v.C1}, int64_t{v.C2}})
      row.Number(n);
    row.Empty(6);
    row.Neighbours(v.Neighbours);
  } else if (r.DedicatedReport) {  // arfcn bsic, three idle columns, six dedicated, neighbours
    const TDedicatedValues& v = *r.DedicatedReport;
    row.Number(v.Arfcn);
    row.Number(v.Bsic);
    row.Empty(3);
    for (int64_t n : {v.RxLevFull, v.RxLevSub, v.RxQualFull, v.RxQualSub, v.TimingAdvance, v.TxPower})
      row.Number(n);
    row.Neighbours(v.Neighbours);
  } else {
    row.Empty(12);
  }
  row.Hex(r.Layer3);
  row.Empty(1);  // note
  if (r.Serving.Key.Valid) {
    for (int64_t n : {r.Serving.Key.Mcc, r.Serving.Key.Mnc, r.Serving.Key.Lac, r.Serving.Key.CellId}) row.Number(n);
  } else {
    row.Empty(CellColumns);
  }
  row.End();
  Out.Write(Row);
}

void TCsvWriter::OnGap(const TSessionGap& gap) {
  WriteHeaderOnce();
  TRowBuilder row(Row);
  row.Text("gap");
  row.Empty(1);
  row.Time(gap.From, UtcOffsetMinutes);
  row.Time(gap.To, UtcOffsetMinutes);
  row.Empty(ColumnCount - 5 - CellColumns);
  row.Quoted(gap.Why);
  row.Empty(CellColumns);
  row.End();
  Out.Write(Row);
}

void TCsvWriter::OnFinish(const TSessionCounters&) {
  WriteHeaderOnce();
  Out.Flush();
}
