#include "refhost/campaign/Campaign.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/output/OutputFile.h"

namespace fs = std::filesystem;

void RecordLevelQuality(const THostRecord& record, uint8_t& level, uint8_t& quality) {
  level = 255;
  quality = 255;
  if (record.DedicatedReport) {
    level = std::min<uint8_t>(record.DedicatedReport->RxLevFull, 63);
    quality = std::min<uint8_t>(record.DedicatedReport->RxQualFull, 7);
  } else if (record.Idle) {
    level = std::min<uint8_t>(record.Idle->RxLev, 63);
  }
}

bool SampleOf(const THostRecord& record, TSpoolSample& sample) {
  RecordLevelQuality(record, sample.Level, sample.Quality);
  sample.Time = record.TimeStamp1;
  sample.Longitude = record.Longitude;
  sample.Latitude = record.Latitude;
  sample.Cell = GridCellOf(record.Serving);
  sample.Dedicated = record.Dedicated;
  return record.Method != TPositionMethod::None && record.Longitude != -9999.0;
}

namespace {

// What each input has told the others so far. Inputs are taken in order,
// so an input waits only on earlier ones, which are running or done: no
// wait can close a circle.
class TInputGate {
 public:
  explicit TInputGate(size_t inputs)
      : Fixes(inputs), Prints(inputs), FixKnown(inputs), PrintKnown(inputs), Done(inputs), Bad(inputs) {}

  void PublishFix(size_t i, double longitude, double latitude) {
    std::lock_guard lock(Lock);
    if (FixKnown[i]) return;
    Fixes[i] = std::make_pair(longitude, latitude);
    FixKnown[i] = true;
    Changed.notify_all();
  }
  // The zone of the first input up to `i` with a fix; `i` has one.
  int ZoneFor(size_t i) {
    std::unique_lock lock(Lock);
    Changed.wait(lock, [&] { return std::all_of(FixKnown.begin(), FixKnown.begin() + long(i), [](bool k) { return k; }); });
    for (size_t j = 0; j <= i; ++j)
      if (Fixes[j]) return UtmEpsgFor(Fixes[j]->first, Fixes[j]->second);
    return 0;
  }
  // Once every input is done: the zone every worker used, 0 when none had a fix.
  int Zone() {
    std::lock_guard lock(Lock);
    for (const auto& fix : Fixes)
      if (fix) return UtmEpsgFor(fix->first, fix->second);
    return 0;
  }
  // True when an earlier input already gave the same content, so far: the
  // reading may stop (unless that input later proves not to be a session).
  bool PublishPrint(size_t i, uint64_t print) {
    std::lock_guard lock(Lock);
    if (!PrintKnown[i]) {
      Prints[i] = print;
      PrintKnown[i] = true;
      Changed.notify_all();
    }
    for (size_t j = 0; j < i; ++j)
      if (PrintKnown[j] && !Bad[j] && Prints[j] == print) return true;
    return false;
  }
  // Input `i` is done: whatever it did not publish, it never will. A bad
  // input (not a session) owns no content, whatever its first records were.
  void Finish(size_t i, uint64_t print, bool bad) {
    std::lock_guard lock(Lock);
    if (!PrintKnown[i]) Prints[i] = print;
    PrintKnown[i] = FixKnown[i] = Done[i] = true;
    Bad[i] = bad;
    Changed.notify_all();
  }
  // Once every earlier input is done: the first good input with the same
  // content as `i`, or `i` itself.
  size_t OwnerOf(size_t i) {
    std::unique_lock lock(Lock);
    Changed.wait(lock, [&] { return std::all_of(Done.begin(), Done.begin() + long(i), [](bool k) { return k; }); });
    for (size_t j = 0; j < i; ++j)
      if (!Bad[j] && Prints[j] == Prints[i]) return j;
    return i;
  }

 private:
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::optional<std::pair<double, double>>> Fixes;
  std::vector<uint64_t> Prints;
  std::vector<bool> FixKnown, PrintKnown, Done, Bad;
};

// Fixed-size entries appended to a file through a large buffer.
class TSpoolWriter {
 public:
  explicit TSpoolWriter(std::string path) : Path(std::move(path)) {
    File = std::fopen(Path.c_str(), "wb");
    if (!File) Fail(errno);
    std::setvbuf(File, nullptr, _IOFBF, 1 << 16);
  }
  ~TSpoolWriter() {
    if (File) std::fclose(File);
  }
  template <class T>
  void Add(const T& entry) {
    if (std::fwrite(&entry, sizeof entry, 1, File) != 1) Fail(errno);
  }
  void Close() {
    FILE* f = std::exchange(File, nullptr);
    if (std::fflush(f) != 0 || std::ferror(f)) {
      const int error = errno;
      std::fclose(f);
      Fail(error);
    }
    if (std::fclose(f) != 0) Fail(errno);
  }

 private:
  [[noreturn]] void Fail(int error) const {
    throw EOutputWrite("cannot write the campaign's working file " + Path + ": " + std::strerror(error) +
                       "; free space in the --out folder's disk and run again");
  }
  std::string Path;
  FILE* File = nullptr;
};

// FNV-1a over the values that make a session itself, rounded as the JSON
// Lines keep them, so a capture and its own JSON Lines give the same print.
class TPrint {
 public:
  void Add(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) Hash = (Hash ^ p[i]) * 1099511628211ull;
  }
  void Add(int64_t v) { Add(&v, sizeof v); }
  void Add(const std::string& s) {
    Add(int64_t(s.size()));
    Add(s.data(), s.size());
  }
  uint64_t Value() const { return Hash; }

 private:
  uint64_t Hash = 14695981039346656037ull;
};

constexpr int64_t PrintRecords = 32;

// One drive: its grid, its spools, its print.
class TDriveBinner : public TRecordSink {
 public:
  TDriveBinner(size_t input, TInputGate& gate, double binMetres, TDriveSummary& summary,
               TCampaignProgress* progress, bool mayStop)
      : Input(input), Gate(gate), Grid(binMetres), Summary(summary), Progress(progress), MayStop(mayStop),
        Samples(summary.SamplesSpool), Events(summary.EventsSpool), Fixes(summary.FixesSpool) {}

  void OnStart(const TSessionSettings& settings) override {
    Summary.UtcOffsetMinutes = settings.UtcOffsetMinutes;
    Print.Add(int64_t(settings.UtcOffsetMinutes));
    Print.Add(int64_t(settings.Seed));
  }
  void OnFix(const TGpsFix& fix) override {
    if (Ignored) return;
    Gate.PublishFix(Input, fix.Longitude, fix.Latitude);
    Fixes.Add(TSpoolFix{fix.Time, fix.Longitude, fix.Latitude});
  }
  void OnRecord(const THostRecord& record) override {
    if (Ignored) return;
    ++Summary.Records;
    if (Progress && (Summary.Records & 1023) == 0) Progress->Records += 1024;
    if (Summary.Records == 1) Summary.First = record.TimeStamp1;
    Summary.Last = record.TimeStamp1;
    TSpoolSample sample;
    const bool positioned = SampleOf(record, sample);
    if (Summary.Records <= PrintRecords) AddToPrint(record, sample.Level, sample.Quality);
    if (Summary.Records == PrintRecords && Gate.PublishPrint(Input, Print.Value()) && MayStop) {
      Ignored = true;
      return;
    }
    if (!positioned) return;
    ++Summary.Positioned;
    Samples.Add(sample);
    TBinStats* bin = BinAt(record.Longitude, record.Latitude);
    if (!bin) return;
    ++bin->Samples;
    if (sample.Level != 255) ++bin->Level[sample.Level];
    if (sample.Quality != 255) ++bin->Quality[sample.Quality];
    bin->AddCell(sample.Cell, 1);
  }
  void OnEvent(const TDriveEvent& event) override {
    if (Ignored) return;
    TSpoolEvent e;
    e.Time = event.Time;
    e.Longitude = event.Longitude;
    e.Latitude = event.Latitude;
    e.Cell = GridCellOf(event.Cell);
    e.Kind = event.Kind;
    e.Direction = event.Direction;
    e.SetupTimeS = event.SetupTimeS;
    std::strncpy(e.Cause, event.Cause.c_str(), sizeof e.Cause - 1);
    Events.Add(e);
    if (event.Longitude == -9999.0) return;
    const bool counted = event.Kind == TEventKind::CallSetup || event.Kind == TEventKind::CallDrop ||
                         event.Kind == TEventKind::HandoverFailure;
    if (!counted) return;
    TBinStats* bin = BinAt(event.Longitude, event.Latitude);
    if (!bin) return;
    if (event.Kind == TEventKind::CallSetup) ++bin->CallSetups;
    if (event.Kind == TEventKind::CallDrop) ++bin->CallDrops;
    if (event.Kind == TEventKind::HandoverFailure) ++bin->HandoverFailures;
  }
  void OnAnalysis(const TSessionAnalysisResult& result) override {
    Summary.Kpis = result.Kpis;
    Summary.Cells = result.Cells;
  }

  // After the input ends: the spools closed, the print final.
  uint64_t Close() {
    Samples.Close();
    Events.Close();
    Fixes.Close();
    if (Progress) Progress->Records += Summary.Records & 1023;
    Print.Add(std::min(Summary.Records, PrintRecords));
    return Print.Value();
  }
  const TCampaignGrid& DriveGrid() const { return Grid; }
  bool Duplicate() const { return Ignored; }
  int Epsg() const { return Projection ? Projection->Epsg() : 0; }

 private:
  void AddToPrint(const THostRecord& r, uint8_t level, uint8_t quality) {
    Print.Add(std::llround(r.TimeStamp1 * 86400e3));
    Print.Add(std::llround(r.Longitude * 1e6));
    Print.Add(std::llround(r.Latitude * 1e6));
    Print.Add(int64_t(r.MessageId) << 16 | int64_t(level) << 8 | quality);
    Print.Add(r.Layer3.data(), r.Layer3.size());
  }
  TBinStats* BinAt(double longitude, double latitude) {
    if (!Projection) {
      Gate.PublishFix(Input, longitude, latitude);
      Projection = std::make_unique<TUtmProjection>(Gate.ZoneFor(Input));
    }
    // Records between two fixes often share a position: one projection serves them.
    if (longitude == LastLongitude && latitude == LastLatitude) return LastBin;
    double e, n;
    TBinStats* bin = Projection->Forward(longitude, latitude, e, n) ? &Grid.At(Grid.KeyOf(e, n)) : nullptr;
    LastLongitude = longitude;
    LastLatitude = latitude;
    LastBin = bin;  // the grid's entries stay where they are as it grows
    return bin;
  }

  size_t Input;
  TInputGate& Gate;
  TCampaignGrid Grid;
  TDriveSummary& Summary;
  TCampaignProgress* Progress;
  bool MayStop;
  TSpoolWriter Samples, Events, Fixes;
  std::unique_ptr<TUtmProjection> Projection;
  double LastLongitude = NAN, LastLatitude = NAN;
  TBinStats* LastBin = nullptr;
  TPrint Print;
  bool Ignored = false;
};

// Cells of many drives, told apart as the grid tells them.
bool CellLess(const TCellStats& a, const TCellStats& b) {
  if (!(a.Key == b.Key)) return a.Key < b.Key;
  if (a.Arfcn != b.Arfcn) return a.Arfcn < b.Arfcn;
  return a.Bsic < b.Bsic;
}

struct TShared {
  std::mutex Lock;
  TCampaignResult* Result = nullptr;
  std::vector<std::optional<TDriveSummary>> Kept;
  std::vector<bool> Finished;
  size_t NextToHand = 0;  // the first input not yet handed to OnDrive
  std::mutex HandLock;    // held by the worker handing drives over
  bool HandFailed = false;
};

void RemoveSpools(const TDriveSummary& drive) {
  std::error_code error;
  for (const std::string& spool : {drive.SamplesSpool, drive.EventsSpool, drive.FixesSpool}) fs::remove(spool, error);
}

// Hands over the kept drives whose turn has come. A worker that finds
// another one handing over goes back to reading; the drives it finished
// are taken by that one, or by the last call after the workers end.
void HandOver(const TCampaignOptions& options, TShared& shared) {
  if (!options.OnDrive) return;
  std::unique_lock hand(shared.HandLock, std::try_to_lock);
  if (!hand.owns_lock()) return;
  for (;;) {
    const TDriveSummary* drive = nullptr;
    {
      std::lock_guard lock(shared.Lock);
      const size_t next = shared.NextToHand;
      if (shared.HandFailed || next >= shared.Finished.size() || !shared.Finished[next]) return;
      ++shared.NextToHand;
      if (shared.Kept[next]) drive = &*shared.Kept[next];
    }
    if (!drive) continue;
    try {
      options.OnDrive(*drive);
    } catch (...) {
      std::lock_guard lock(shared.Lock);
      shared.HandFailed = true;
      throw;
    }
    RemoveSpools(*drive);
  }
}

void RunOne(const TCampaignOptions& options, size_t i, TInputGate& gate, TShared& shared,
            TCampaignProgress* progress) {
  const std::string stem = (fs::path(options.SpoolDir) / ("drive-" + std::to_string(i))).string();
  TDriveSummary summary;
  int status = 0;
  size_t owner = i;
  TCampaignGrid grid(options.BinMetres);
  // A drive that stopped early as a copy of an earlier one is read again,
  // whole, when that one proves not to be a session after all.
  for (bool mayStop = true;; mayStop = false) {
    summary = TDriveSummary{};
    summary.Input = i;
    summary.Name = options.Inputs[i];
    summary.SamplesSpool = stem + ".samples";
    summary.EventsSpool = stem + ".events";
    summary.FixesSpool = stem + ".fixes";
    bool stopped = false;
    try {
      TDriveBinner binner(i, gate, options.BinMetres, summary, progress, mayStop);
      TAnalysisStage stage({&binner}, options.Sites);
      status = options.Play(options.Inputs[i], stage);
      const uint64_t print = binner.Close();
      stopped = binner.Duplicate();
      gate.Finish(i, print, status == 2);
      if (status != 2 && !stopped) grid = binner.DriveGrid();
    } catch (...) {
      gate.Finish(i, 0, true);
      throw;
    }
    owner = status == 2 ? i : gate.OwnerOf(i);
    if (!(stopped && owner == i)) break;
  }
  std::error_code error;
  if (progress) {
    progress->FilesDone += 1;
    progress->BytesDone += int64_t(fs::is_regular_file(options.Inputs[i], error) ? fs::file_size(options.Inputs[i], error) : 0);
  }
  {
    std::lock_guard lock(shared.Lock);
    TCampaignResult& result = *shared.Result;
    shared.Finished[i] = true;
    if (status == 2) {
      result.Bad.push_back(options.Inputs[i]);
    } else if (owner != i) {
      result.Duplicates.push_back(options.Inputs[i] + " is the same drive as " + options.Inputs[owner] +
                                  ": counted once");
    } else {
      if (status == 5) result.Damaged = true;
      result.Grid.MergeDrive(grid);
      shared.Kept[i] = std::move(summary);
    }
  }
  if (!shared.Kept[i]) RemoveSpools(summary);
  HandOver(options, shared);
}

}  // namespace

TCampaignResult RunCampaign(const TCampaignOptions& options, TCampaignProgress* progress) {
  TCampaignResult result;
  result.Grid = TCampaignGrid(options.BinMetres);
  const size_t n = options.Inputs.size();
  TInputGate gate(n);
  TShared shared;
  shared.Result = &result;
  shared.Kept.resize(n);
  shared.Finished.resize(n);

  std::atomic<size_t> next{0};
  std::mutex failureLock;
  std::exception_ptr failure;
  auto work = [&] {
    for (size_t i; (i = next++) < n;) {
      try {
        RunOne(options, i, gate, shared, progress);
      } catch (...) {
        std::lock_guard lock(failureLock);
        if (!failure) failure = std::current_exception();
        // Later inputs still run, so no earlier one waits on them forever.
      }
    }
  };
  unsigned workers = options.Workers ? options.Workers : std::max(1u, std::thread::hardware_concurrency());
  workers = unsigned(std::min<size_t>(workers, std::max<size_t>(n, 1)));
  std::vector<std::thread> threads;
  for (unsigned w = 1; w < workers; ++w) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  if (failure) std::rethrow_exception(failure);
  HandOver(options, shared);

  std::map<std::string, size_t> cellIndex;
  for (auto& kept : shared.Kept) {
    if (!kept) continue;
    MergeKpis(result.Total, kept->Kpis);
    for (const TCellStats& cell : kept->Cells) {
      auto it = std::find_if(result.Cells.begin(), result.Cells.end(), [&](const TCellStats& c) {
        return c.Key == cell.Key && c.Arfcn == cell.Arfcn && c.Bsic == cell.Bsic;
      });
      if (it == result.Cells.end())
        result.Cells.push_back(cell);
      else
        MergeCellStats(*it, cell);
    }
    result.Drives.push_back(std::move(*kept));
  }
  std::sort(result.Cells.begin(), result.Cells.end(), CellLess);
  std::sort(result.Bad.begin(), result.Bad.end());
  std::sort(result.Duplicates.begin(), result.Duplicates.end());
  result.Epsg = gate.Zone();
  return result;
}

template <class T>
TSpoolReader<T>::TSpoolReader(const std::string& path) {
  File = std::fopen(path.c_str(), "rb");
  if (!File) throw EOutputWrite("cannot read back the campaign's working file " + path + ": " + std::strerror(errno));
}

template <class T>
TSpoolReader<T>::~TSpoolReader() {
  if (File) std::fclose(static_cast<FILE*>(File));
}

template <class T>
bool TSpoolReader<T>::Next(T& out) {
  return std::fread(&out, sizeof out, 1, static_cast<FILE*>(File)) == 1;
}

template class TSpoolReader<TSpoolSample>;
template class TSpoolReader<TSpoolEvent>;
template class TSpoolReader<TSpoolFix>;
