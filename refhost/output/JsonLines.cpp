#include "refhost/output/JsonLines.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/core/FieldRanges.h"
#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/JsonView.h"
#include "refhost/output/RecordValues.h"
#include "refhost/output/TextSafety.h"

using TJson = nlohmann::ordered_json;

namespace {

TJson Finite(double value) { return std::isfinite(value) ? TJson(value) : TJson(nullptr); }

const char* ChannelName(TGsmChannel channel) {
  switch (channel) {
    case TGsmChannel::Bcch: return "bcch";
    case TGsmChannel::Ccch: return "ccch";
    case TGsmChannel::Dcch: break;
  }
  return "dcch";
}

// Record lines are the bulk of a session: written straight into a reused
// string rather than through a document tree. Strings in them are ours
// (names, words, hex), so they need no escaping.
class TJsonRecordLine {
 public:
  explicit TJsonRecordLine(std::string& line) : Line(line) {
    Line.clear();
    Line += '{';
  }
  // Keys are literals: their length is known where they are written.
  template <size_t N>
  TJsonRecordLine& Key(const char (&key)[N]) {
    if (Line.size() > 1 && Line.back() != '{') Line += ',';
    Line += '"';
    Line.append(key, N - 1);
    Line += "\":";
    return *this;
  }
  void Text(std::string_view s) {
    Line += '"';
    Line += s;
    Line += '"';
  }
  void Number(int64_t v) {
    char d[24];
    Line.append(d, static_cast<size_t>(std::to_chars(d, d + sizeof d, v).ptr - d));
  }
  void Real(double v) {  // shortest text that reads back as the same double
    char d[40];
    Line.append(d, static_cast<size_t>(std::to_chars(d, d + sizeof d, v).ptr - d));
  }
  void Degrees(double v) {
    if (v == -9999.0 || !std::isfinite(v)) Line += "null";
    else Real(v);
  }
  void Bool(bool v) { Line += v ? "true" : "false"; }
  void Null() { Line += "null"; }
  void Time(TDays t, int32_t offset) {
    Line += '"';
    AppendIsoTime(Line, t, offset);
    Line += '"';
  }
  void Open() { Line += '{'; }
  void Close() { Line += '}'; }
  void Neighbours(const std::vector<TNeighbourCell>& cells) {
    Line += '[';
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i) Line += ',';
      Open();
      Key("arfcn").Number(cells[i].Arfcn);
      Key("bsic").Number(cells[i].Bsic);
      Key("rxlev").Number(cells[i].RxLev);
      Close();
    }
    Line += ']';
  }
  void Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    Line += '"';
    for (uint8_t b : bytes) {
      Line += digits[b >> 4];
      Line += digits[b & 0xF];
    }
    Line += '"';
  }

 private:
  std::string& Line;
};

void WriteIdle(TJsonRecordLine& j, const TIdleValues& v) {
  j.Open();
  j.Key("arfcn").Number(v.Arfcn);
  j.Key("bsic").Number(v.Bsic);
  j.Key("rxlev").Number(v.RxLev);
  j.Key("c1").Number(v.C1);
  j.Key("c2").Number(v.C2);
  j.Key("neighbours").Neighbours(v.Neighbours);
  j.Close();
}

void WriteDedicated(TJsonRecordLine& j, const TDedicatedValues& v) {
  j.Open();
  j.Key("arfcn").Number(v.Arfcn);
  j.Key("bsic").Number(v.Bsic);
  j.Key("rxlev_full").Number(v.RxLevFull);
  j.Key("rxlev_sub").Number(v.RxLevSub);
  j.Key("rxqual_full").Number(v.RxQualFull);
  j.Key("rxqual_sub").Number(v.RxQualSub);
  j.Key("timing_advance").Number(v.TimingAdvance);
  j.Key("tx_power").Number(v.TxPower);
  j.Key("neighbours").Neighbours(v.Neighbours);
  j.Close();
}

// Lines with text from outside (paths, reasons) go through the library
// (TextSafety.h), which escapes them; bytes that are not UTF-8 become U+FFFD.
std::string Dump(const TJson& o) { return JsonText(o); }

// ---- reading ----

struct EBadEntry {
  std::string What;
};

[[noreturn]] void Bad(std::string what) { throw EBadEntry{std::move(what)}; }

TJsonView Field(const TJsonObject& o, std::string_view key) {
  const std::optional<TJsonView> v = o.Find(key);
  if (!v) Bad("'" + std::string(key) + "' is missing");
  return *v;
}

bool Present(const TJsonObject& o, std::string_view key) {
  const std::optional<TJsonView> v = o.Find(key);
  return v && !v->IsNull();
}

int64_t Integer(const TJsonObject& o, std::string_view key, int64_t min, int64_t max) {
  const TJsonView v = Field(o, key);
  if (!v.IsInteger()) Bad("'" + std::string(key) + "' is not a whole number");
  const int64_t n = v.Integer();
  if (n < min || n > max)
    Bad("'" + std::string(key) + "' is " + std::to_string(n) + ", outside " + std::to_string(min) +
        ".." + std::to_string(max));
  return n;
}

std::string_view Text(const TJsonObject& o, std::string_view key) {
  const TJsonView v = Field(o, key);
  if (!v.IsString()) Bad("'" + std::string(key) + "' is not a string");
  const std::string_view text = v.String();
  if (text.size() > FieldRanges::MaxTextBytes)
    Bad("'" + std::string(key) + "' is " + std::to_string(text.size()) + " bytes long, more than " +
        std::to_string(FieldRanges::MaxTextBytes));
  return text;
}

// A number, or NaN when null; `fallback` when the key is absent.
double Real(const TJsonObject& o, std::string_view key, double fallback) {
  const std::optional<TJsonView> v = o.Find(key);
  if (!v || v->IsNull()) return fallback;
  if (!v->IsNumber()) Bad("'" + std::string(key) + "' is not a number");
  return v->Number();
}

TDays Time(const TJsonObject& o, std::string_view key) {
  const std::string_view text = Text(o, key);
  TDays t;
  int32_t offset;
  if (!ParseIsoTime(text, t, offset))
    Bad("'" + std::string(key) + "' is not an ISO 8601 date-time: " + std::string(text));
  if (!FieldRanges::IsTime(t)) Bad("'" + std::string(key) + "' is " + std::string(text) + ", outside 1980..2099");
  return t;
}

std::vector<TNeighbourCell> ReadNeighbours(const TJsonObject& o) {
  const TJsonView list = Field(o, "neighbours");
  if (!list.IsArray()) Bad("'neighbours' is not a list");
  const size_t size = list.Size();
  if (size > FieldRanges::MaxNeighbours)
    Bad("'neighbours' lists " + std::to_string(size) + " cells, more than a report holds (" +
        std::to_string(FieldRanges::MaxNeighbours) + ")");
  std::vector<TNeighbourCell> cells;
  cells.reserve(size);
  list.ForEach([&cells](const TJsonView& c) {
    if (!c.IsObject()) Bad("a neighbour is not an object");
    const TJsonObject cell(c);
    cells.push_back({static_cast<uint16_t>(Integer(cell, "arfcn", 0, 1023)),
                     static_cast<uint8_t>(Integer(cell, "bsic", 0, 63)),
                     static_cast<uint8_t>(Integer(cell, "rxlev", 0, 63))});
  });
  return cells;
}

TJsonObject Object(const TJsonObject& o, std::string_view key) {
  const TJsonView v = Field(o, key);
  if (!v.IsObject()) Bad("'" + std::string(key) + "' is not an object");
  return TJsonObject(v);
}

TIdleValues ReadIdle(const TJsonObject& o) {
  TIdleValues v;
  v.Arfcn = static_cast<uint16_t>(Integer(o, "arfcn", 0, 1023));
  v.Bsic = static_cast<uint8_t>(Integer(o, "bsic", 0, 63));
  v.RxLev = static_cast<uint8_t>(Integer(o, "rxlev", 0, 63));
  v.C1 = static_cast<int16_t>(Integer(o, "c1", -999, 999));
  v.C2 = static_cast<int16_t>(Integer(o, "c2", -999, 999));
  v.Neighbours = ReadNeighbours(o);
  return v;
}

TDedicatedValues ReadDedicated(const TJsonObject& o) {
  TDedicatedValues v;
  v.Arfcn = static_cast<uint16_t>(Integer(o, "arfcn", 0, 1023));
  v.Bsic = static_cast<uint8_t>(Integer(o, "bsic", 0, 63));
  v.RxLevFull = static_cast<uint8_t>(Integer(o, "rxlev_full", 0, 63));
  v.RxLevSub = static_cast<uint8_t>(Integer(o, "rxlev_sub", 0, 63));
  v.RxQualFull = static_cast<uint8_t>(Integer(o, "rxqual_full", 0, 7));
  v.RxQualSub = static_cast<uint8_t>(Integer(o, "rxqual_sub", 0, 7));
  v.TimingAdvance = static_cast<uint8_t>(Integer(o, "timing_advance", 0, 63));
  v.TxPower = static_cast<uint8_t>(Integer(o, "tx_power", 0, 31));
  v.Neighbours = ReadNeighbours(o);
  return v;
}

THostRecord ReadRecord(const TJsonObject& o) {
  THostRecord r;
  r.Index = Integer(o, "index", 0, INT64_MAX);
  r.TimeStamp1 = Time(o, "time1");
  r.TimeStamp2 = Time(o, "time2");
  r.Longitude = Real(o, "longitude", -9999.0);
  r.Latitude = Real(o, "latitude", -9999.0);
  if ((r.Longitude != -9999.0 || r.Latitude != -9999.0) &&
      !(FieldRanges::IsLongitude(r.Longitude) && FieldRanges::IsLatitude(r.Latitude)))
    Bad("'longitude' or 'latitude' is out of range");
  if (!PositionMethodFromName(Text(o, "position"), r.Method)) Bad("'position' is not a known method");
  // Files of earlier versions gave "none" records coordinates: dropped here.
  if (r.Method == TPositionMethod::None) r.Longitude = r.Latitude = -9999.0;
  if (!CallStateFromName(Text(o, "call_state"), r.CallState)) Bad("'call_state' is not a known state");
  if (!ParseMessageId(Text(o, "message_id"), r.MessageId) || r.MessageId > 0xFFF)
    Bad("'message_id' is not a message identifier such as 0x301");
  const TJsonView dedicated = Field(o, "dedicated");
  if (!dedicated.IsBool()) Bad("'dedicated' is not true or false");
  r.Dedicated = dedicated.Bool();
  if (Present(o, "idle")) r.Idle = ReadIdle(Object(o, "idle"));
  if (Present(o, "dedicated_report")) r.DedicatedReport = ReadDedicated(Object(o, "dedicated_report"));
  if (Present(o, "layer3") && !FromHex(Text(o, "layer3"), r.Layer3)) Bad("'layer3' is not hex bytes");
  return r;
}

TSessionSettings ReadSettings(const TJsonObject& o) {
  const int64_t format = Integer(o, "format", 1, INT32_MAX);
  if (format > JsonLinesFormatVersion)
    Bad("format " + std::to_string(format) + " is newer than this program reads (" +
        std::to_string(JsonLinesFormatVersion) + "); use a newer orvik-host");
  TSessionSettings s;
  s.Source = Text(o, "source");
  s.GpsSource = Text(o, "gps_source");
  s.UtcOffsetMinutes = static_cast<int32_t>(
      Integer(o, "utc_offset_minutes", FieldRanges::MinUtcOffsetMinutes, FieldRanges::MaxUtcOffsetMinutes));
  const TJsonView seed = Field(o, "seed");
  if (!seed.IsNonNegativeInteger()) Bad("'seed' is not a whole number of 0 or more");
  s.Seed = seed.Unsigned();
  return s;
}

TGpsFix ReadFix(const TJsonObject& o) {
  TGpsFix f;
  f.Time = Time(o, "time");
  f.Longitude = Real(o, "longitude", NAN);
  f.Latitude = Real(o, "latitude", NAN);
  if (!(f.Longitude >= -180 && f.Longitude <= 180 && f.Latitude >= -90 && f.Latitude <= 90))
    Bad("'longitude' or 'latitude' is missing or out of range");
  f.AltitudeM = Real(o, "altitude_m", NAN);
  f.SpeedMps = Real(o, "speed_mps", NAN);
  f.Quality = static_cast<int>(Integer(o, "quality", FieldRanges::MinFixQuality, FieldRanges::MaxFixQuality));
  f.Satellites =
      Present(o, "satellites") ? static_cast<int>(Integer(o, "satellites", 0, FieldRanges::MaxSatellites)) : -1;
  if (const char* fault = FieldRanges::FixFault(f)) Bad(std::string("the fix is impossible: ") + fault);
  return f;
}

TSessionGap ReadGap(const TJsonObject& o) {
  return {Time(o, "from"), Time(o, "to"), std::string(Text(o, "why"))};
}

TSessionCounters ReadCounters(const TJsonObject& o) {
  TSessionCounters c;
  c.BytesReceived = Integer(o, "bytes_received", 0, INT64_MAX);
  c.FramesDecoded = Integer(o, "frames_decoded", 0, INT64_MAX);
  c.FramesRejected = Integer(o, "frames_rejected", 0, INT64_MAX);
  c.Gaps = Integer(o, "gaps", 0, INT64_MAX);
  c.QueueFull = Integer(o, "queue_full", 0, INT64_MAX);
  c.QueueHighWaterBytes = Integer(o, "queue_high_water_bytes", 0, INT64_MAX);
  c.Fixes = Integer(o, "fixes", 0, INT64_MAX);
  c.CallsSetUp = Integer(o, "calls_set_up", 0, INT64_MAX);
  c.CallsDropped = Integer(o, "calls_dropped", 0, INT64_MAX);
  // Absent from files written before they were counted.
  if (Present(o, "bytes_undecoded")) c.BytesUndecoded = Integer(o, "bytes_undecoded", 0, INT64_MAX);
  if (Present(o, "gps_outages")) c.GpsOutages = Integer(o, "gps_outages", 0, INT64_MAX);
  return c;
}

void Replay(const TJsonView& line, TRecordSink& sink) {
  if (!line.IsObject()) Bad("not a JSON object");
  const TJsonObject o(line);
  const std::string_view type = Text(o, "type");
  if (type == "record") sink.OnRecord(ReadRecord(o));
  else if (type == "fix") sink.OnFix(ReadFix(o));
  else if (type == "gap") sink.OnGap(ReadGap(o));
  else if (type == "session") sink.OnStart(ReadSettings(o));
  else if (type == "summary") sink.OnFinish(ReadCounters(o));
  else if (type == "event") return;
  else Bad("unknown type '" + std::string(type) + "'");
}

}  // namespace

TJsonLinesWriter::TJsonLinesWriter(const std::string& path, TFlushPolicy policy) : Out(path, policy) {}
TJsonLinesWriter::TJsonLinesWriter(std::ostream& stream, TFlushPolicy policy) : Out(stream, policy) {}

void TJsonLinesWriter::WriteLine(std::string line) {
  line += '\n';
  Out.Write(line);
}

void TJsonLinesWriter::OnStart(const TSessionSettings& s) {
  UtcOffsetMinutes = s.UtcOffsetMinutes;
  WriteLine(Dump(TJson{{"type", "session"},
                       {"format", JsonLinesFormatVersion},
                       {"source", s.Source},
                       {"gps_source", s.GpsSource},
                       {"utc_offset_minutes", s.UtcOffsetMinutes},
                       {"seed", s.Seed}}));
}

void TJsonLinesWriter::OnFix(const TGpsFix& f) {
  WriteLine(Dump(TJson{{"type", "fix"},
                       {"time", FormatIsoTime(f.Time, UtcOffsetMinutes)},
                       {"longitude", f.Longitude},
                       {"latitude", f.Latitude},
                       {"altitude_m", Finite(f.AltitudeM)},
                       {"speed_mps", Finite(f.SpeedMps)},
                       {"quality", f.Quality},
                       {"satellites", f.Satellites < 0 ? TJson(nullptr) : TJson(f.Satellites)}}));
}

void TJsonLinesWriter::OnRecord(const THostRecord& r) {
  TJsonRecordLine j(Line);
  j.Key("type").Text("record");
  j.Key("index").Number(r.Index);
  j.Key("time1").Time(r.TimeStamp1, UtcOffsetMinutes);
  j.Key("time2").Time(r.TimeStamp2, UtcOffsetMinutes);
  // A record marked "none" carries no coordinates, whatever the store held.
  const bool positioned = r.Method != TPositionMethod::None;
  j.Key("longitude").Degrees(positioned ? r.Longitude : -9999.0);
  j.Key("latitude").Degrees(positioned ? r.Latitude : -9999.0);
  j.Key("position").Text(PositionMethodName(r.Method));
  j.Key("call_state").Text(CallStateName(r.CallState));
  j.Key("message_id").Text(FormatMessageId(r.MessageId));
  if (r.MessageId != 0) {
    const TGsmMessageInfo info = LookupGsmMessage(r.MessageId);
    j.Key("message_name").Text(info.Name);
    j.Key("channel").Text(ChannelName(info.Channel));
  }
  j.Key("dedicated").Bool(r.Dedicated);
  if (r.Idle) WriteIdle(j.Key("idle"), *r.Idle);
  else j.Key("idle").Null();
  if (r.DedicatedReport) WriteDedicated(j.Key("dedicated_report"), *r.DedicatedReport);
  else j.Key("dedicated_report").Null();
  j.Key("layer3").Hex(r.Layer3);
  // Derived by the analysis on the way here; a reader recomputes it.
  if (r.Serving.Key.Valid) {
    j.Key("cell").Open();
    j.Key("mcc").Number(r.Serving.Key.Mcc);
    j.Key("mnc").Number(r.Serving.Key.Mnc);
    j.Key("lac").Number(r.Serving.Key.Lac);
    j.Key("ci").Number(r.Serving.Key.CellId);
    j.Close();
  } else {
    j.Key("cell").Null();
  }
  if (std::isfinite(r.Serving.SiteDistanceM)) j.Key("site_distance_m").Real(std::round(r.Serving.SiteDistanceM * 10) / 10);
  j.Close();
  Line += '\n';
  Out.Write(Line);
}

void TJsonLinesWriter::OnGap(const TSessionGap& g) {
  WriteLine(Dump(TJson{{"type", "gap"},
                       {"from", FormatIsoTime(g.From, UtcOffsetMinutes)},
                       {"to", FormatIsoTime(g.To, UtcOffsetMinutes)},
                       {"why", g.Why}}));
}

void TJsonLinesWriter::OnEvent(const TDriveEvent& e) {
  TJson line{{"type", "event"}};
  // In the order of events.csv, then the target's identity.
  static const char* const Order[] = {"time", "kind", "direction", "setup_time_s", "longitude", "latitude",
                                      "mcc", "mnc", "lac", "ci", "arfcn", "bsic", "target_arfcn", "target_bsic",
                                      "cause", "first_record", "last_record"};
  nlohmann::json fields = EventJson(e, UtcOffsetMinutes);
  for (const char* key : Order) {
    const auto at = fields.find(key);
    if (at == fields.end()) continue;
    line[key] = *at;
    fields.erase(at);
  }
  for (const auto& [key, value] : fields.items()) line[key] = value;
  WriteLine(Dump(line));
}

void TJsonLinesWriter::OnAnalysis(const TSessionAnalysisResult& a) {
  Analysis = ",\"kpi\":" + JsonText(KpiJson(a.Kpis)) + ",\"cells\":" + JsonText(CellTableJson(a.Cells));
}

void TJsonLinesWriter::OnFinish(const TSessionCounters& c) {
  std::string summary = Dump(TJson{{"type", "summary"},
                       {"bytes_received", c.BytesReceived},
                       {"frames_decoded", c.FramesDecoded},
                       {"frames_rejected", c.FramesRejected},
                       {"gaps", c.Gaps},
                       {"queue_full", c.QueueFull},
                       {"queue_high_water_bytes", c.QueueHighWaterBytes},
                       {"fixes", c.Fixes},
                       {"calls_set_up", c.CallsSetUp},
                       {"calls_dropped", c.CallsDropped},
                       {"bytes_undecoded", c.BytesUndecoded},
                       {"gps_outages", c.GpsOutages}});
  if (!Analysis.empty()) summary.insert(summary.size() - 1, Analysis);
  WriteLine(std::move(summary));
  Out.Flush();
}

bool ReadJsonLines(std::istream& in, TRecordSink& sink, std::string& error, std::string& warning) {
  warning.clear();
  // One buffer for every line: memory stays at the bound whatever the file holds.
  std::vector<char> buffer(JsonLinesMaxLineBytes + 1);
  TJsonLineParser parser;
  for (int64_t number = 1;; ++number) {
    in.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.bad()) {
      error = "line " + std::to_string(number) + " could not be read";
      return false;
    }
    const auto read = static_cast<size_t>(in.gcount());
    if (read == 0 && in.eof()) return true;
    const bool ended = !in.eof() && !in.fail();  // the line's LF was read
    if (in.fail() && !in.eof()) {
      error = "line " + std::to_string(number) + " is longer than " + std::to_string(JsonLinesMaxLineBytes) +
              " bytes, more than any line a session writes";
      return false;
    }
    std::string_view line(buffer.data(), ended ? read - 1 : read);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) {
      if (!ended) return true;
      continue;
    }
    const bool parsed = parser.Parse(line);
    if (!parsed && !ended) {
      // Cut off in the middle of its last write: what came before is whole.
      warning = "line " + std::to_string(number) + " is cut off (" + std::to_string(read) +
                " bytes, no line end): read up to it, that line is left out";
      return true;
    }
    try {
      if (!parsed) Bad("not valid JSON");
      Replay(parser.Root(), sink);
    } catch (const EBadEntry& e) {
      error = "line " + std::to_string(number) + ": " + e.What;
      return false;
    }
    if (!ended) return true;
  }
}
