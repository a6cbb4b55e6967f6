// orvik-host campaign: many drives as one. Every input is read once, on all
// cores, into one coverage grid, the KPIs per drive and in total and the
// cell table across drives; written as a GeoPackage, GeoJSON, CSV and a page.
// Also `export --format gpkg`: one session in the same GeoPackage form.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "refhost/campaign/Campaign.h"
#include "refhost/campaign/CampaignWriters.h"
#include "refhost/cells/CellSites.h"
#include "refhost/cli/Commands.h"
#include "refhost/cli/OutputPlan.h"
#include "refhost/cli/SessionInput.h"
#include "refhost/output/OutputFile.h"

namespace fs = std::filesystem;

namespace {

struct TCampaignArgs {
  std::vector<std::string> Inputs;
  std::string Out;
  double BinMetres = 50;
  int64_t MinSamples = 5;
  std::string Cells;
  std::string Plugin;
  unsigned Workers = 0;
  bool SkipBad = false;
  bool Force = false;
};

const std::vector<std::string> OutputNames = {"campaign.gpkg", "campaign.geojson", "campaign.csv", "campaign.html"};

bool HasExtension(const fs::path& p, const char* ext) { return p.extension() == ext; }

// Sessions under a folder that is not one itself: folders holding a
// session.jsonl (not looked into further), captures and other JSON Lines.
void Search(const fs::path& dir, std::vector<std::string>& found) {
  std::error_code error;
  if (fs::is_regular_file(dir / "session.jsonl", error)) {
    found.push_back(dir.string());
    return;
  }
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(dir, error)) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  for (const fs::path& p : entries) {
    if (p.filename().string().rfind(".campaign-", 0) == 0) continue;  // a run's own working files
    if (fs::is_directory(p, error))
      Search(p, found);
    else if (HasExtension(p, ".orvcap") || HasExtension(p, ".jsonl"))
      found.push_back(p.string());
  }
}

// The inputs as given, folders searched; "" with the inputs, or the problem.
std::string ExpandInputs(const std::vector<std::string>& given, std::vector<std::string>& inputs) {
  std::error_code error;
  for (const std::string& input : given) {
    if (!fs::exists(input, error))
      return input + " does not exist: give session folders, their session.jsonl, captures, or folders holding them";
    if (!fs::is_directory(input, error)) {
      inputs.push_back(input);
      continue;
    }
    const size_t before = inputs.size();
    Search(input, inputs);
    if (inputs.size() == before)
      return input + " holds no session (no session.jsonl, .jsonl or .orvcap under it): give the folders the drives "
                     "were written to";
  }
  return "";
}

// Progress on a terminal: files done, records per second, time left.
class TProgressLine {
 public:
  TProgressLine(const TCampaignProgress& progress, size_t files, int64_t totalBytes)
      : Progress(progress), Files(files), TotalBytes(totalBytes) {
    if (isatty(STDERR_FILENO)) Thread = std::thread([this] { Run(); });
  }
  ~TProgressLine() {
    {
      std::lock_guard lock(Lock);
      Stop = true;
    }
    Wake.notify_all();
    if (Thread.joinable()) {
      Thread.join();
      std::fprintf(stderr, "\r\033[K");
    }
  }

 private:
  void Run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(Lock);
    while (!Wake.wait_for(lock, std::chrono::milliseconds(500), [this] { return Stop; })) {
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const int64_t records = Progress.Records, bytes = Progress.BytesDone;
      std::string left = "?";
      if (bytes > 0 && TotalBytes > bytes) left = std::to_string(int64_t(s * double(TotalBytes - bytes) / double(bytes))) + " s";
      else if (bytes >= TotalBytes && TotalBytes > 0) left = "0 s";
      std::fprintf(stderr, "\r\033[Kcampaign: %lld/%zu files, %.0f records/s, time left %s",
                   static_cast<long long>(Progress.FilesDone.load()), Files, s > 0 ? double(records) / s : 0.0,
                   left.c_str());
      std::fflush(stderr);
    }
  }

  const TCampaignProgress& Progress;
  size_t Files;
  int64_t TotalBytes;
  std::mutex Lock;
  std::condition_variable Wake;
  bool Stop = false;
  std::thread Thread;
};

// A folder of working files, removed with everything in it when the run ends.
struct TWorkFolder {
  explicit TWorkFolder(fs::path p) : Path(std::move(p)) { fs::create_directories(Path); }
  ~TWorkFolder() {
    std::error_code error;
    fs::remove_all(Path, error);
  }
  fs::path Path;
};

// What a run that was killed left in the folder: its working folder and
// temporary files, named with its process id. Those of a run still going
// are left alone.
void ClearLeftovers(const fs::path& out) {
  static const std::regex leftover(R"(\.campaign(-work-|\.(gpkg|geojson|csv|html)\.tmp-)([0-9]+).*)");
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(out, error)) {
    std::smatch m;
    const std::string name = entry.path().filename().string();
    if (!std::regex_match(name, m, leftover)) continue;
    const pid_t pid = pid_t(std::stol(m[3].str()));
    if (pid == getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
    fs::remove_all(entry.path(), error);
  }
}

int Say(const std::string& command, const std::string& message, int status) {
  std::fprintf(stderr, "orvik-host %s: %s\n", command.c_str(), message.c_str());
  return status;
}

std::optional<TCellSites> ReadSites(const std::string& command, const std::string& path, int& status) {
  if (path.empty()) return std::nullopt;
  try {
    return TCellSites::Read(path);
  } catch (const std::exception& e) {
    status = Say(command, std::string(e.what()) + " (--cells takes a cell file in the OpenCelliD CSV layout)",
                 ExitBadInput);
    return std::nullopt;
  }
}

TCampaignOptions MakeOptions(const std::vector<std::string>& inputs, const std::string& command,
                             const std::string& plugin, const fs::path& work) {
  TCampaignOptions options;
  options.Inputs = inputs;
  options.SpoolDir = work.string();
  // Captures go through the plug-in one at a time: nothing promises that two
  // decoders of one loaded plug-in may run side by side. JSON Lines inputs,
  // the common case, are read in parallel.
  options.Play = [command, plugin](const std::string& input, TRecordSink& sink) {
    static std::mutex pluginLock;
    std::unique_lock<std::mutex> lock(pluginLock, std::defer_lock);
    if (SessionInputKind(input) == TSessionInputKind::Capture) lock.lock();
    return PlaySessionInput(command, input, plugin, sink);
  };
  return options;
}

int RunCampaignCommand(const TCampaignArgs& args) {
  const std::string command = "campaign";
  std::vector<std::string> inputs;
  if (const std::string problem = ExpandInputs(args.Inputs, inputs); !problem.empty())
    return Say(command, problem, ExitBadInput);

  TOutputPlan plan(command);
  for (const std::string& input : inputs) {
    plan.Input(input, "INPUT");
    std::error_code error;
    if (fs::is_directory(input, error)) plan.Input((fs::path(input) / "session.jsonl").string(), "the session's file");
  }
  if (!args.Cells.empty()) plan.Input(args.Cells, "--cells");
  plan.Folder(args.Out, OutputNames);
  if (!plan.Check(args.Force)) return ExitBadInput;

  int status = ExitOk;
  const std::optional<TCellSites> sites = ReadSites(command, args.Cells, status);
  if (status != ExitOk) return status;

  try {
    fs::create_directories(args.Out);
    ClearLeftovers(args.Out);
    const TWorkFolder work(fs::path(args.Out) / (".campaign-work-" + std::to_string(getpid())));
    TCampaignOptions options = MakeOptions(inputs, command, args.Plugin, work.Path);
    options.BinMetres = args.BinMetres;
    options.MinSamples = args.MinSamples;
    options.Workers = args.Workers;
    options.Sites = sites ? &*sites : nullptr;

    int64_t totalBytes = 0;
    std::error_code error;
    for (const std::string& input : inputs)
      if (fs::is_regular_file(input, error)) totalBytes += int64_t(fs::file_size(input, error));
    // Each drive's rows go into the GeoPackage while the next drives are read.
    const fs::path out(args.Out);
    TCampaignGpkg gpkg((out / "campaign.gpkg").string());
    options.OnDrive = [&gpkg](const TDriveSummary& drive) { gpkg.AddDrive(drive); };
    TCampaignProgress progress;
    TCampaignResult result;
    {
      const TProgressLine line(progress, inputs.size(), totalBytes);
      result = RunCampaign(options, &progress);
    }
    for (const std::string& d : result.Duplicates) Say(command, d, 0);

    TGpkgContent content;
    content.Campaign = &result;
    content.Sites = options.Sites;
    content.MinSamples = args.MinSamples;
    gpkg.Finish(content);
    WriteBinsGeoJson((out / "campaign.geojson").string(), result, args.MinSamples);
    WriteBinsCsv((out / "campaign.csv").string(), result, args.MinSamples);
    WriteCampaignHtml((out / "campaign.html").string(), result, args.MinSamples);

    int64_t records = 0;
    for (const TDriveSummary& d : result.Drives) records += d.Records;
    std::printf("Wrote %s: %zu drive(s), %lld records, %zu bins of %g m (EPSG:%d)\n", args.Out.c_str(),
                result.Drives.size(), static_cast<long long>(records), result.Grid.BinCount(), args.BinMetres,
                result.Epsg);
    if (!result.Bad.empty() && !args.SkipBad) {
      std::string names;
      for (const std::string& b : result.Bad) names += (names.empty() ? "" : ", ") + b;
      return Say(command, "skipped what is not a session: " + names + "; remove it or give --skip-bad", ExitBadInput);
    }
    return result.Damaged ? ExitCaptureCorrupt : ExitOk;
  } catch (const EOutputWrite& e) {
    return Say(command, e.what(), ExitFailure);
  } catch (const std::exception& e) {
    return Say(command, std::string("the campaign failed: ") + e.what(), ExitFailure);
  }
}

}  // namespace

int ExportSessionGpkg(const std::string& input, const std::string& out, const std::string& plugin,
                      const std::string& cells) {
  const std::string command = "export";
  std::error_code error;
  if (!fs::exists(input, error))
    return Say(command, input + " does not exist: give a session folder, its session.jsonl, or a capture",
               ExitBadInput);
  TOutputPlan plan(command);
  plan.Input(input, "INPUT");
  if (SessionInputKind(input) == TSessionInputKind::Folder)
    for (const char* name : {"session.jsonl", "session.csv"})
      plan.Input((fs::path(input) / name).string(), "the session's file");
  if (!cells.empty()) plan.Input(cells, "--cells");
  plan.Output(out, "the output", false);
  if (!plan.Check(false)) return ExitBadInput;
  int status = ExitOk;
  const std::optional<TCellSites> sites = ReadSites(command, cells, status);
  if (status != ExitOk) return status;
  try {
    const fs::path folder = fs::absolute(out).parent_path();
    const TWorkFolder work(folder / (".campaign-work-" + std::to_string(getpid())));
    TCampaignOptions options = MakeOptions({input}, command, plugin, work.Path);
    options.Sites = sites ? &*sites : nullptr;
    const TCampaignResult result = RunCampaign(options);
    if (!result.Bad.empty()) return ExitBadInput;
    TGpkgContent content;
    content.Campaign = &result;
    content.Bins = false;
    content.Sites = options.Sites;
    WriteCampaignGpkg(out, content);
    std::printf("Wrote %s\n", out.c_str());
    return result.Damaged ? ExitCaptureCorrupt : ExitOk;
  } catch (const EOutputWrite& e) {
    return Say(command, e.what(), ExitFailure);
  } catch (const std::exception& e) {
    return Say(command, std::string("the export failed: ") + e.what(), ExitFailure);
  }
}

TCommand AddCampaignCommand(CLI::App& app) {
  auto args = std::make_shared<TCampaignArgs>();
  CLI::App* command = app.add_subcommand("campaign", "Merge many drives into one coverage grid, KPIs and GeoPackage");
  command->footer(
      "INPUT is a session's output folder, its session.jsonl, a capture, or a folder searched for\n"
      "them. Every drive is read once, on all cores, and written into --out as campaign.gpkg\n"
      "(layers bins, samples, events, routes, sites; tables drive_kpis, cell_kpis),\n"
      "campaign.geojson and campaign.csv (the bins) and campaign.html (map and tables).\n"
      "Bins are squares of --bin metres in the UTM zone of the first drive's first fix; the\n"
      "GeoPackage's bins layer is in that zone's CRS, every other layer in WGS 84.\n"
      "\n"
      "A cut-off capture or JSON Lines is used up to the damage, with a warning; the same drive\n"
      "given twice is counted once and named; an input that is not a session is named and\n"
      "skipped. Files an earlier run left in --out are replaced only with --force.\n"
      "\n"
      "Exit statuses: 0 done, 1 the outputs could not be written, 2 bad arguments or an input\n"
      "that is not a session (unless --skip-bad), 5 a capture corrupt in the middle.");
  command->add_option("INPUT", args->Inputs, "session folders, session.jsonl files, captures, folders of them")
      ->required();
  command->add_option("--out", args->Out, "the folder to write into")->required();
  command->add_option("--bin", args->BinMetres, "bin size in metres (default 50)")->check(CLI::Range(1.0, 100000.0));
  command->add_option("--min-samples", args->MinSamples, "bins with fewer samples are marked sparse (default 5)")
      ->check(CLI::Range(int64_t(1), int64_t(1) << 40));
  command->add_option("--cells", args->Cells, "a cell file (OpenCelliD CSV layout): the sites layer");
  command->add_option("--plugin", args->Plugin, "the plug-in for captures (default: next to orvik-host)");
  command->add_option("--workers", args->Workers, "inputs read at once (default: one per core)")
      ->check(CLI::Range(1u, 256u));
  command->add_flag("--skip-bad", args->SkipBad, "an input that is not a session does not fail the run");
  command->add_flag("--force", args->Force, "replace what an earlier run left in --out");
  return {command, [args] { return RunCampaignCommand(*args); }};
}
