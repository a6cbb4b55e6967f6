#include "refhost/cells/CellSites.h"

#include <csv.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "refhost/output/OutputFile.h"

namespace {

constexpr std::array<const char*, 14> Columns{
    "radio",   "mcc",     "net",        "area",    "cell",    "unit",    "lon",
    "lat",     "range",   "samples",    "changeable", "created", "updated", "averageSignal"};
enum : size_t { Radio, Mcc, Net, Area, Cell, Unit, Lon, Lat, Range, Samples, Changeable, Created,
                Updated, AverageSignal };

bool SameWord(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string Layout() {
  std::string s;
  for (const char* c : Columns) s += (s.empty() ? "" : ",") + std::string(c);
  return s;
}

// What libcsv hands over, gathered row by row; the checks run per row so an
// error can name the line the row started on.
class TReader {
 public:
  explicit TReader(std::string path) : Path(std::move(path)) {}

  void Field(const char* data, size_t size) { Row.emplace_back(data, size); }
  void RowEnd() {
    if (Error.empty()) {
      try {
        TakeRow();
      } catch (const std::runtime_error& e) {
        Error = e.what();
      }
    }
    Row.clear();
    RowLine = Line + 1;
  }

  std::string Path;
  std::string Error;  // the first problem; libcsv is C, so nothing is thrown through it
  int64_t Line = 0;     // the physical line being fed
  int64_t RowLine = 1;  // where the current row began
  bool HeaderSeen = false;
  std::vector<TCellSite> Sites;

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error(Path + " line " + std::to_string(RowLine) + ": " + what);
  }

  template <typename T>
  T Number(size_t column, bool optional = false) const {
    const std::string& text = Row[column];
    T value{};
    if (text.empty()) {
      if (optional) return value;
      Fail(std::string(Columns[column]) + " is empty; every row needs it");
    }
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end)
      Fail(std::string(Columns[column]) + " \"" + text + "\" is not a number");
    return value;
  }

  void TakeRow() {
    if (!HeaderSeen) {
      HeaderSeen = true;
      bool ok = Row.size() == Columns.size();
      for (size_t i = 0; ok && i < Columns.size(); ++i) ok = SameWord(Row[i], Columns[i]);
      if (!ok)
        Fail("the header is not the cell file layout; expected " + Layout() +
             " (the layout OpenCelliD publishes)");
      return;
    }
    if (Row.size() != Columns.size())
      Fail(std::to_string(Row.size()) + " fields where the layout has " +
           std::to_string(Columns.size()));
    TCellSite site;
    site.Radio = Row[Radio];
    if (site.Radio.empty()) Fail("radio is empty; give GSM, UMTS, LTE, ...");
    const auto mcc = Number<int64_t>(Mcc), net = Number<int64_t>(Net);
    const auto area = Number<int64_t>(Area), cell = Number<int64_t>(Cell);
    Number<int64_t>(Unit, true);
    site.Longitude = Number<double>(Lon);
    site.Latitude = Number<double>(Lat);
    if (site.Longitude < -180 || site.Longitude > 180 || site.Latitude < -90 || site.Latitude > 90)
      Fail("lon " + Row[Lon] + ", lat " + Row[Lat] + " is not a place on earth");
    site.RangeM = Number<double>(Range);
    site.Samples = Number<int64_t>(Samples);
    Number<int64_t>(Changeable);
    site.CreatedUnix = Number<int64_t>(Created);
    site.UpdatedUnix = Number<int64_t>(Updated);
    Number<double>(AverageSignal, true);
    const bool fits = mcc >= 0 && mcc <= 999 && net >= 0 && net <= 999 && area >= 0 &&
                      area <= 0xFFFF && cell >= 0 && cell <= 0xFFFF;
    const bool gsm = SameWord(site.Radio, "GSM");
    if (gsm && !fits)
      Fail("GSM cell " + Row[Mcc] + "-" + Row[Net] + "-" + Row[Area] + "-" + Row[Cell] +
           " is out of range (mcc and net 0..999, area and cell 0..65535)");
    // Other radios are kept for the maps; only GSM identities are matched.
    if (fits)
      site.Key = {static_cast<uint16_t>(mcc), static_cast<uint16_t>(net),
                  static_cast<uint16_t>(area), static_cast<uint16_t>(cell), gsm};
    Sites.push_back(std::move(site));
  }

  std::vector<std::string> Row;
};

void OnField(void* data, size_t size, void* reader) {
  static_cast<TReader*>(reader)->Field(static_cast<const char*>(data), size);
}
void OnRowEnd(int, void* reader) { static_cast<TReader*>(reader)->RowEnd(); }

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read the cell file " + path + ": " + std::strerror(errno) +
                             "; check the path");
  std::string text{std::istreambuf_iterator<char>(in), {}};
  if (in.bad()) throw std::runtime_error("cannot read the cell file " + path + ": read error");
  return text;
}

std::string FormatDouble(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out(text.size() * 2 + 2, '\0');
  out.resize(csv_write(out.data(), out.size(), text.data(), text.size()));
  return out;
}

}  // namespace

TCellSites TCellSites::Read(const std::string& path) {
  std::string text = ReadWhole(path);
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a spreadsheet's byte order mark
  csv_parser parser;
  if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI) != 0) throw std::bad_alloc();
  TReader reader(path);
  // Fed one physical line at a time, so the reader knows where each row began.
  size_t at = 0;
  while (at < text.size() && reader.Error.empty()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    ++reader.Line;
    if (csv_parse(&parser, text.data() + at, end - at, OnField, OnRowEnd, &reader) != end - at &&
        reader.Error.empty())
      reader.Error = path + " line " + std::to_string(reader.Line) + ": " +
                     csv_strerror(csv_error(&parser)) + " (a quote opened or closed where it may not be)";
    at = end;
  }
  if (reader.Error.empty() && csv_fini(&parser, OnField, OnRowEnd, &reader) != 0 && reader.Error.empty())
    reader.Error = path + " line " + std::to_string(reader.RowLine) + ": a quoted field is never closed";
  csv_free(&parser);
  if (!reader.Error.empty()) throw std::runtime_error(reader.Error);
  if (!reader.HeaderSeen)
    throw std::runtime_error(path + " is empty; a cell file starts with the header " + Layout());
  TCellSites sites;
  sites.Sites = std::move(reader.Sites);
  for (size_t i = 0; i < sites.Sites.size(); ++i)
    if (sites.Sites[i].Key.Valid) sites.ByKey.emplace(sites.Sites[i].Key, i);  // the first row wins
  return sites;
}

const TCellSite* TCellSites::Find(const TCellKey& key) const {
  const auto it = ByKey.find(key);
  return it == ByKey.end() ? nullptr : &Sites[it->second];
}

void WriteCellSites(const std::string& path, const std::vector<TCellSite>& sites) {
  TOutputFile out(path, TFlushPolicy::WhenFull, TOutputMode::Replace);
  out.Write(Layout() + "\n");
  for (const TCellSite& s : sites) {
    std::ostringstream row;
    row << CsvField(s.Radio) << ',' << s.Key.Mcc << ',' << s.Key.Mnc << ',' << s.Key.Lac << ','
        << s.Key.CellId << ",0," << FormatDouble(s.Longitude, 6) << ','
        << FormatDouble(s.Latitude, 6) << ',' << FormatDouble(s.RangeM, 0) << ',' << s.Samples
        << ",1," << s.CreatedUnix << ',' << s.UpdatedUnix << ",0\n";
    out.Write(row.str());
  }
  out.Commit();
}
